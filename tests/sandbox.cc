#include "sandbox.h"

#include <sys/ioctl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

namespace {

/* Exit statuses of the sandbox's keeper that are not the body's verdict. */
constexpr int no_namespaces = 77;
constexpr int no_layout = 78;
/*
 * A test's bound, against a hang: the longest, on the programs' slowed
 * clock, take some 35 s, and a loaded machine adds to that.  Short of
 * ctest's own bound, so that the sandbox is still taken down.
 */
constexpr int sandbox_seconds = 100;

/* The test's own files, on the sandbox's private /run. */
const std::string scratch = "/run/test";
bool user_namespace; /* the sandbox was made by an ordinary user */

std::string
records()
{
	return scratch + "/records";
}

/* A stand-in of the test's own, outside the paths the binary starts. */
std::string
bystander()
{
	return scratch + "/dhclient";
}

bool
write_proc(const char *path, const std::string &text)
{
	int fd = open(path, O_WRONLY);
	bool ok = fd != -1 &&
	    write(fd, text.data(), text.size()) == (ssize_t)text.size();
	if (fd != -1)
		close(fd);
	return ok;
}

/*
 * As root, new mount, PID, UTS and network namespaces.  As anyone else,
 * a user namespace first, where the caller is root over its own mounts and
 * processes.
 */
std::string
enter_namespaces()
{
	uid_t uid = getuid();
	gid_t gid = getgid();

	if (uid != 0) {
		user_namespace = true;
		if (unshare(CLONE_NEWUSER) == -1)
			return std::string("user namespace: ") +
			    strerror(errno);
		if (!write_proc("/proc/self/setgroups", "deny") ||
		    !write_proc("/proc/self/uid_map",
			"0 " + std::to_string(uid) + " 1") ||
		    !write_proc("/proc/self/gid_map",
			"0 " + std::to_string(gid) + " 1"))
			return std::string("user namespace maps: ") +
			    strerror(errno);
	}
	/*
	 * UTS, as a DHCP client's script may set the host name; network, so
	 * that nothing a test does reaches the machine's own (and, in a user
	 * namespace, so that a test may make network namespaces of its own).
	 */
	if (unshare(CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWUTS | CLONE_NEWNET) ==
	    -1)
		return std::string("mount, PID, UTS and network namespaces: ") +
		    strerror(errno);
	return "";
}

std::string
copy_executable(const std::string &from, const std::string &to)
{
	std::ifstream in(from, std::ios::binary);
	std::ofstream out(to, std::ios::binary);
	out << in.rdbuf();
	out.close();
	if (!in || !out || chmod(to.c_str(), 0755) == -1)
		return "cannot copy " + from + " to " + to;
	return "";
}

#define TRY(call, what)                                                        \
	do {                                                                   \
		if ((call) == -1)                                              \
			return std::string(what) + ": " + strerror(errno);     \
	} while (0)

/* Lay out the sandbox's own /proc, /run and client executables. */
std::string
lay_out(const SandboxSetup &setup)
{
	char sbin[PATH_MAX];
	std::string why;

	TRY(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr),
	    "private mounts");
	TRY(mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC,
		nullptr),
	    "mount /proc");
	TRY(mount("tmpfs", "/run", "tmpfs", 0, "mode=0755"), "mount /run");
	TRY(mkdir(scratch.c_str(), 0755), "mkdir scratch");
	if (setup.run_dir)
		TRY(mkdir("/run/dhclient", 0755), "mkdir /run/dhclient");
	TRY(mkdir(records().c_str(), 0755), "mkdir records");
	TRY(setenv("FAKE_DHCLIENT_DIR", records().c_str(), 1), "setenv");
	/*
	 * In a sanitizer build, a report must never pass for the binary's own
	 * status 1.  (Harmless elsewhere; a caller's own settings win.)
	 */
	TRY(setenv("ASAN_OPTIONS", "exitcode=86:detect_leaks=1", 0), "setenv");
	TRY(setenv("UBSAN_OPTIONS", "exitcode=87:print_stacktrace=1", 0),
	    "setenv");
	why = copy_executable(FAKE_DHCLIENT_PATH, bystander());
	if (!why.empty())
		return why;

	/* Before /sbin is covered: a test may copy the client found there. */
	TRY(mount("tmpfs", "/usr/local/sbin", "tmpfs", 0, "mode=0755"),
	    "mount /usr/local/sbin");
	if (setup.v6_client != nullptr)
		why = copy_executable(
		    setup.v6_client, "/usr/local/sbin/dhclient");
	if (!why.empty())
		return why;

	/*
	 * /sbin is a link to /usr/sbin on Debian: the client is layered over
	 * whichever holds it, hiding a real dhclient when one is installed.
	 */
	if (realpath("/sbin", sbin) == nullptr)
		return "realpath /sbin";
	std::string upper = scratch + "/sbin", work = scratch + "/sbin.work";
	TRY(mkdir(upper.c_str(), 0755), "mkdir overlay");
	TRY(mkdir(work.c_str(), 0755), "mkdir overlay");
	if (setup.v4_client != nullptr)
		why = copy_executable(setup.v4_client, upper + "/dhclient");
	else if (access((std::string(sbin) + "/dhclient").c_str(), F_OK) == 0)
		TRY(mknod(
			(upper + "/dhclient").c_str(), S_IFCHR, makedev(0, 0)),
		    "whiteout dhclient");
	if (!why.empty())
		return why;
	std::string layers = "lowerdir=" + std::string(sbin) +
	    ",upperdir=" + upper + ",workdir=" + work;
	if (user_namespace)
		layers += ",userxattr";
	TRY(mount("overlay", sbin, "overlay", 0, layers.c_str()),
	    "overlay on /sbin");
	return "";
}

#undef TRY

/* parent as this process sees it: PID 1 of a namespace sees its own as 0. */
void
die_with_parent(pid_t parent)
{
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	if (getppid() != parent)
		_exit(99);
}

/* Runs in the keeper: its child is PID 1 of the new namespaces. */
[[noreturn]] void
keep_sandbox(const SandboxSetup &setup, const std::function<void()> &body)
{
	std::string why = enter_namespaces();
	if (!why.empty()) {
		fprintf(stderr, "sandbox: %s\n", why.c_str());
		_exit(no_namespaces);
	}
	pid_t init = fork();
	if (init == 0) {
		die_with_parent(0);
		/*
		 * A session of its own: a process group reaches past the PID
		 * namespace, so kill(0, ...) or kill(-pgid, ...) from a faulty
		 * test or binary must find only the sandbox's processes.
		 */
		setsid();
		why = lay_out(setup);
		if (!why.empty()) {
			fprintf(stderr, "sandbox: %s\n", why.c_str());
			_exit(no_layout);
		}
		body();
		fflush(stdout);
		fflush(stderr);
		_exit(testing::Test::HasFailure() ? 1 : 0);
	}
	int status;
	if (init == -1 || waitpid(init, &status, 0) == -1)
		_exit(no_namespaces);
	_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

std::string
program_output(const char *name)
{
	return read_file(scratch + "/" + name).value_or("");
}

} // namespace

void
in_sandbox(const SandboxSetup &setup, const std::function<void()> &body)
{
	fflush(stdout);
	fflush(stderr);
	pid_t outer = getpid();
	pid_t keeper = fork();
	ASSERT_NE(keeper, -1) << strerror(errno);
	if (keeper == 0) {
		die_with_parent(outer);
		keep_sandbox(setup, body);
	}

	int status = wait_exit(keeper, sandbox_seconds * 1000);
	if (status == -1) {
		kill(keeper, SIGKILL); /* its PID 1 follows, and all with it */
		waitpid(keeper, &status, 0);
		FAIL() << "the sandboxed test did not end within "
		       << sandbox_seconds << " s";
	}
	int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
	if (code == no_namespaces)
		FAIL()
		    << "cannot make the test sandbox (see the reason above): "
		       "run the tests as root, or where unprivileged user "
		       "namespaces are allowed";
	ASSERT_NE(code, no_layout) << "cannot lay out the test sandbox "
				      "(see the reason above)";
	EXPECT_EQ(code, 0) << "the sandboxed test failed (see above)";
}

/*
 * Give the test's session (PID 1 leads it) a terminal, once: the
 * binary then starts in a session that has a controlling terminal, and the
 * terminal stays with the session until the sandbox ends.
 */
void
take_terminal()
{
	static bool done;
	if (done)
		return;
	done = true;
	int master = posix_openpt(O_RDWR | O_NOCTTY);
	ASSERT_NE(master, -1) << strerror(errno);
	ASSERT_EQ(grantpt(master), 0);
	ASSERT_EQ(unlockpt(master), 0);
	int slave = open(ptsname(master), O_RDWR);
	ASSERT_NE(slave, -1) << strerror(errno);
	ASSERT_EQ(ioctl(slave, TIOCSCTTY, 0), 0) << strerror(errno);
	/* Both ends stay open: a hangup would reach the test itself. */
}

pid_t
start_program(const std::vector<std::string> &args, const RunOptions &opts)
{
	if (opts.tty)
		take_terminal();
	std::string out = scratch + "/stdout", err = scratch + "/stderr";

	pid_t pid = fork();
	if (pid == 0) {
		if (chdir(opts.cwd.c_str()) == -1)
			_exit(126);
		umask(opts.umask);
		int in = open("/dev/null", O_RDONLY);
		int o = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
		int e = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
		if (in == -1 || o == -1 || e == -1 || dup2(in, 0) == -1 ||
		    dup2(o, 1) == -1 || dup2(e, 2) == -1)
			_exit(126);
		/* Nothing but the standard descriptors is handed on. */
		close_range(3, ~0U, 0);
		if (opts.before_exec)
			opts.before_exec();
		std::vector<char *> argv { const_cast<char *>(
		    BISTACK_LEASE_PATH) };
		for (const std::string &arg : args)
			argv.push_back(const_cast<char *>(arg.c_str()));
		argv.push_back(nullptr);
		execv(BISTACK_LEASE_PATH, argv.data());
		_exit(127);
	}
	EXPECT_NE(pid, -1) << strerror(errno);
	return pid;
}

int
run_program(const std::vector<std::string> &args, const RunOptions &opts)
{
	return wait_exit(start_program(args, opts));
}

std::string
program_stdout()
{
	return program_output("stdout");
}

std::string
program_stderr()
{
	return program_output("stderr");
}

std::string
named_program(const std::string &name)
{
	std::string dir = scratch + "/names", path = dir + "/" + name;
	mkdir(dir.c_str(), 0755);
	if (!exists(path)) {
		std::string why = copy_executable(FAKE_DHCLIENT_PATH, path);
		EXPECT_EQ(why, "");
	}
	return path;
}

pid_t
start_bystander(const std::string &name, const std::vector<std::string> &argv,
    const std::string &locked)
{
	std::string path = name.empty() ? bystander() : named_program(name);
	std::vector<std::string> args = argv;
	if (args.empty())
		args = { "dhclient", "bystander" };
	pid_t pid = fork();
	if (pid == 0) {
		setpgid(0, 0);
		int fd = locked.empty() ? -1 : open(locked.c_str(), O_RDONLY);
		if (!locked.empty() && (fd == -1 || flock(fd, LOCK_EX) == -1))
			_exit(126);
		std::vector<char *> vector;
		for (std::string &arg : args)
			vector.push_back(arg.data());
		vector.push_back(nullptr);
		execv(path.c_str(), vector.data());
		_exit(127);
	}
	/* Ready once it has recorded itself, with SIGTERM caught. */
	EXPECT_TRUE(eventually([&] {
		return access(
			   (records() + "/argv." + std::to_string(pid)).c_str(),
			   F_OK) == 0;
	})) << "the bystander did not start";
	return pid;
}

std::vector<Client>
started_clients()
{
	std::vector<Client> clients;
	DIR *dir = opendir(records().c_str());
	if (dir == nullptr)
		return clients;
	while (struct dirent *entry = readdir(dir)) {
		std::string name = entry->d_name;
		if (name.rfind("argv.", 0) != 0 ||
		    name.find(".tmp") != std::string::npos)
			continue;
		Client client { atoi(name.c_str() + 5), {} };
		std::string data =
		    read_file(records() + "/" + name).value_or("");
		for (size_t at = 0, end; at < data.size(); at = end + 1) {
			end = data.find('\0', at);
			client.argv.push_back(data.substr(at, end - at));
		}
		if (client.argv.at(0) != "dhclient") /* not a bystander */
			clients.push_back(client);
	}
	closedir(dir);
	std::sort(clients.begin(), clients.end(),
	    [](const Client &a, const Client &b) { return a.pid < b.pid; });
	return clients;
}

std::vector<std::pair<pid_t, pid_t>>
terms_received()
{
	std::vector<std::pair<pid_t, pid_t>> terms;
	std::istringstream in(read_file(records() + "/events").value_or(""));
	std::string word;
	pid_t receiver, sender;
	while (in >> word >> receiver >> sender)
		terms.emplace_back(receiver, sender);
	return terms;
}

Started
start_serving(
    const std::string &ifname, const std::vector<std::string> &options)
{
	std::vector<std::string> args = options;
	args.push_back(ifname);
	Started s;
	pid_t starter = start_program(args);
	EXPECT_EQ(describe(wait_exit(starter)), "exit 0");
	s.daemon = pid_in(pidfile(ifname));
	EXPECT_GT(s.daemon, 1) << "no daemon PID for " << ifname;
	bool own_pidfiles = getenv("FAKE_DHCLIENT_NO_PIDFILE") == nullptr;
	auto written = [&](const std::string &tag, pid_t pid) {
		return !own_pidfiles ||
		    read_file(pidfile(ifname, tag)) ==
		    std::to_string(pid) + "\n";
	};
	EXPECT_TRUE(eventually([&] {
		/* Forked by the starter, just before the daemon. */
		s.v4.pid = s.v6.pid = 0;
		for (const Client &client : started_clients()) {
			/* Forked by the daemon, after it. */
			if (client.argv.back() != ifname ||
			    client.pid < s.daemon)
				continue;
			(client.argv[0] == "/sbin/dhclient" ? s.v4 : s.v6) =
			    client;
		}
		return s.v4.pid > 0 && s.v6.pid > 0 && written("4", s.v4.pid) &&
		    written("6", s.v6.pid);
	})) << "both clients for "
	    << ifname << " should start";
	return s;
}

Started
start_following_records(const std::string &ifname)
{
	Started s;
	EXPECT_EQ(describe(run_program({ ifname })), "exit 0");
	s.daemon = pid_in(pidfile(ifname));
	bool following = s.daemon > 1 && eventually([&] {
		s.v4.pid = pid_in(pidfile(ifname, "4"));
		s.v6.pid = pid_in(pidfile(ifname, "6"));
		return s.v4.pid > 0 && s.v6.pid > 0 &&
		    watched_by(s.daemon) ==
		    std::vector<pid_t> { std::min(s.v4.pid, s.v6.pid),
			    std::max(s.v4.pid, s.v6.pid) };
	});
	EXPECT_TRUE(following)
	    << "the daemon does not follow the records " << s.v4.pid << " and "
	    << s.v6.pid << ": it watches "
	    << testing::PrintToString(watched_by(s.daemon));
	if (!following)
		s.daemon = 0;
	return s;
}

pid_t
reforked_client()
{
	for (const std::string &name : list_dir(records()))
		if (name.rfind("reforked.", 0) == 0)
			return atoi(name.c_str() + 9);
	return 0;
}

std::string
coarse_run_directory()
{
	if (getuid() != 0 || user_namespace)
		return "it needs root";
	std::string image = scratch + "/coarse.img";
	std::string make = "truncate -s 8M " + image +
	    " && mkfs.ext4 -q -F -I 128 -O ^has_journal " + image +
	    " >/dev/null 2>&1";
	if (!shell(make + " && mount -o loop " + image + " /var/run/dhclient"))
		return "no ext4 on a loop device here";
	return "";
}

void
preload(const char *library)
{
	const char *asan = getenv("ASAN_OPTIONS");
	const char *before = getenv("LD_PRELOAD");
	setenv("LD_PRELOAD",
	    (before != nullptr ? std::string(before) + " " + library
			       : std::string(library))
		.c_str(),
	    1);
	setenv("ASAN_OPTIONS",
	    (std::string(asan != nullptr ? asan : "") +
		":verify_asan_link_order=0")
		.c_str(),
	    1);
}

namespace {
int clock_slower = 1;
}

void
slow_clock(int k)
{
	clock_slower = k;
	setenv("SLOW_CLOCK", std::to_string(k).c_str(), 1);
	preload(TEST_CLOCK_PATH);
}

long
program_ms()
{
	return now_ms() / clock_slower;
}

int
slowed(long ms)
{
	return (int)(ms * clock_slower);
}

void
nap(long ms)
{
	long real = slowed(ms);
	struct timespec span = { real / 1000, real % 1000 * 1000000 };
	while (nanosleep(&span, &span) == -1)
		;
}

void
without_leak_check()
{
	setenv("ASAN_OPTIONS", "exitcode=86:detect_leaks=0", 1);
}
