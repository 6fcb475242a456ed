/*
 * bistack-lease's benchmark: start, stop, memory, idle cost and scale, with
 * stand-in clients, measured side by side with a floor program doing the
 * same process work and with stock tools.  Runs as PID 1 of a private PID
 * and mount namespace laid out by scripts/bench; prints a Markdown table
 * and writes it to the file named last on its command line.
 *
 *   bench BISTACK-LEASE FLOOR RUNS OUTFILE
 */

#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

int notify[2]; /* the stand-in clients write a byte here on SIGTERM */

double
now_ms()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

[[noreturn]] void
die(const std::string &why)
{
	fprintf(stderr, "bench: %s\n", why.c_str());
	exit(1);
}

struct Stats {
	double median, p10, p90, max;
};

Stats
stats(std::vector<double> v)
{
	std::sort(v.begin(), v.end());
	auto at = [&](double q) { return v[(size_t)(q * (v.size() - 1))]; };
	return { at(0.5), at(0.1), at(0.9), v.back() };
}

std::string
fmt(const char *format, double a, double b = 0, double c = 0)
{
	char buf[128];
	snprintf(buf, sizeof(buf), format, a, b, c);
	return buf;
}

std::string
read_text(const std::string &path)
{
	std::ifstream in(path);
	std::stringstream text;
	text << in.rdbuf();
	return text.str();
}

/* Every process here but this one is killed and reaped, every file gone. */
void
clean_slate()
{
	DIR *dir = opendir("/proc");
	while (struct dirent *entry = readdir(dir)) {
		pid_t pid = atoi(entry->d_name);
		if (pid > 1)
			kill(pid, SIGKILL);
	}
	closedir(dir);
	while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR)
		;
	dir = opendir("/run/dhclient");
	while (struct dirent *entry = readdir(dir))
		if (entry->d_name[0] != '.')
			unlink(("/run/dhclient/" + std::string(entry->d_name))
				   .c_str());
	closedir(dir);
}

/* Start a command, its output thrown away if quiet. */
pid_t
spawn(const std::vector<std::string> &args, bool quiet)
{
	std::vector<char *> argv;
	for (const std::string &arg : args)
		argv.push_back(const_cast<char *>(arg.c_str()));
	argv.push_back(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		if (quiet) {
			int null = open("/dev/null", O_RDWR);
			dup2(null, 0);
			dup2(null, 1);
			dup2(null, 2);
		}
		execv(argv[0], argv.data());
		_exit(127);
	}
	return pid;
}

/* Run a command to its end (not its daemons'): milliseconds taken. */
double
time_command(const std::vector<std::string> &args)
{
	double start = now_ms();
	int status;
	waitpid(spawn(args, true), &status, 0);
	double taken = now_ms() - start;
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
		die(args[0] + " failed");
	return taken;
}

/*
 * The PID in one of the files of ifname's run: "" for the daemon's, "4" or
 * "6" for a client's.  The floor names its files "floor.", not "dhclient.".
 */
pid_t
pid_of(const std::string &ifname, const std::string &tag = "",
    const std::string &prefix = "dhclient.")
{
	return atoi(read_text("/run/dhclient/" + prefix + ifname +
	    (tag.empty() ? "" : "." + tag) + ".pid")
			.c_str());
}

/* The daemon serving ifname, once both clients have recorded their PIDs. */
pid_t
daemon_of(const std::string &ifname, const std::string &prefix = "dhclient.")
{
	double deadline = now_ms() + 5000;
	while (pid_of(ifname, "4", prefix) <= 0 ||
	    pid_of(ifname, "6", prefix) <= 0) {
		if (now_ms() > deadline)
			die("the clients of " + ifname + " did not start");
		usleep(100);
	}
	pid_t pid = pid_of(ifname, "", prefix);
	if (pid <= 1)
		die("no daemon PID for " + ifname);
	return pid;
}

/* Wait for the daemon, which is the benchmark's once its starter has gone. */
void
reap(pid_t daemon)
{
	int status;
	if (waitpid(daemon, &status, 0) != daemon || !WIFEXITED(status) ||
	    WEXITSTATUS(status) != 0)
		die("a daemon did not end with status 0");
}

/*
 * SIGTERM to the daemon of a command just run: the time until both clients
 * have it, and until the daemon has ended.
 */
std::pair<double, double>
time_stop(const std::vector<std::string> &command, const std::string &prefix)
{
	char byte;
	time_command(command);
	pid_t daemon = daemon_of("em0", prefix);
	double start = now_ms();
	kill(daemon, SIGTERM);
	for (int got = 0; got < 2;)
		got += (int)std::max<ssize_t>(0, read(notify[0], &byte, 1));
	double clients = now_ms() - start;
	reap(daemon);
	double gone = now_ms() - start;
	clean_slate();
	return { clients, gone };
}

/*
 * The IPv4 client of a command just run ends, having run for a moment
 * since it recorded its PID: the time until its daemon has ended.
 */
double
time_follow(const std::vector<std::string> &command, const std::string &prefix)
{
	char byte;
	time_command(command);
	pid_t daemon = daemon_of("em0", prefix);
	pid_t v4 = pid_of("em0", "4", prefix);
	usleep(10000);
	double start = now_ms();
	kill(v4, SIGKILL);
	reap(daemon);
	double taken = now_ms() - start;
	/* The IPv6 client's notice of its SIGTERM. */
	while (read(notify[0], &byte, 1) != 1)
		;
	clean_slate();
	return taken;
}

long
wakeups_of(pid_t pid)
{
	std::string text =
	    read_text("/proc/" + std::to_string(pid) + "/status");
	size_t at = text.find("\nvoluntary_ctxt_switches:");
	return at == std::string::npos ? -1 : atol(text.c_str() + at + 26);
}

/*
 * A fresh run whose clients record their PIDs a second after their start:
 * the daemon's wake-ups from its start's end until 1.2 s after it.
 */
long
first_second_wakeups(const std::string &bistack)
{
	char byte;
	setenv("BENCH_RECORD_DELAY_MS", "1000", 1);
	double start = now_ms();
	time_command({ bistack, "em0" });
	unsetenv("BENCH_RECORD_DELAY_MS");
	pid_t daemon = pid_of("em0");
	long before = wakeups_of(daemon);
	if (daemon <= 1 || pid_of("em0", "4") > 0 || pid_of("em0", "6") > 0)
		die("the clients recorded their PIDs at once");
	double until = start + 1200 - now_ms();
	if (until > 0)
		usleep((useconds_t)(until * 1000));
	if (pid_of("em0", "4") <= 0 || pid_of("em0", "6") <= 0)
		die("the clients did not record their PIDs in 1.2 s");
	long woke = wakeups_of(daemon) - before;
	kill(daemon, SIGTERM);
	for (int got = 0; got < 2;)
		got += (int)std::max<ssize_t>(0, read(notify[0], &byte, 1));
	reap(daemon);
	clean_slate();
	return woke;
}

/*
 * The IPv6 client of a fresh run ends, having run for a moment: the time
 * until the daemon's new IPv6 client has recorded its PID, and the
 * daemon's wake-ups meanwhile.  The daemon is then stopped: the IPv4
 * client notifies its SIGTERM, but not the new IPv6 client, which holds
 * none of the benchmark's descriptors.
 */
double
time_restart(const std::string &bistack, long *woke)
{
	char byte;
	time_command({ bistack, "em0" });
	pid_t daemon = daemon_of("em0");
	pid_t v6 = pid_of("em0", "6"), again;
	usleep(10000);
	long before = wakeups_of(daemon);
	double start = now_ms();
	kill(v6, SIGKILL);
	while ((again = pid_of("em0", "6")) == v6 || again <= 0) {
		if (now_ms() > start + 5000)
			die("the IPv6 client was not started again");
		usleep(100);
	}
	double taken = now_ms() - start;
	*woke = wakeups_of(daemon) - before;
	kill(daemon, SIGTERM);
	while (read(notify[0], &byte, 1) != 1)
		;
	reap(daemon);
	clean_slate();
	return taken;
}

long
status_kb(pid_t pid, const char *field)
{
	std::string text =
	    read_text("/proc/" + std::to_string(pid) + "/status");
	size_t at = text.find(field);
	return at == std::string::npos
	    ? -1
	    : atol(text.c_str() + at + strlen(field));
}

long
cpu_ticks(pid_t pid)
{
	std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
	std::istringstream in(stat.substr(stat.rfind(')') + 2));
	std::string field;
	long utime = 0, stime = 0;
	for (int i = 3; in >> field; i++) {
		if (i == 14)
			utime = atol(field.c_str());
		if (i == 15)
			stime = atol(field.c_str());
	}
	return utime + stime;
}

/* Start an idle program; return once it has exec'd and gone to sleep. */
pid_t
spawn_idle(const std::vector<std::string> &args)
{
	pid_t pid = spawn(args, false);
	std::string stat = "/proc/" + std::to_string(pid) + "/stat";
	double deadline = now_ms() + 5000;
	for (;;) {
		std::string text = read_text(stat);
		size_t close = text.rfind(") ");
		if (text.find("(bistack_bench)") == std::string::npos &&
		    close != std::string::npos && text[close + 2] == 'S')
			return pid;
		if (now_ms() > deadline)
			die(args[0] + " did not settle");
		usleep(100);
	}
}

} // namespace

int
main(int argc, char *argv[])
{
	if (argc != 5 || getpid() != 1)
		die("run it through scripts/bench");
	/* A process group reaches past the PID namespace: lead our own. */
	setsid();
	const std::string bistack = argv[1], floor_bin = argv[2];
	const int runs = atoi(argv[3]), follow_runs = 50, restart_runs = 10;
	std::ostringstream out;
	if (pipe(notify) == -1)
		die("pipe");
	setenv("BENCH_NOTIFY_FD", std::to_string(notify[1]).c_str(), 1);

	/* Start: alternating, so that drift hits all three alike. */
	const std::vector<std::vector<std::string>> commands = {
		{ bistack, "em0" },
		{ floor_bin, "em0" },
		{ "/sbin/start-stop-daemon", "--start", "--background",
		    "--make-pidfile", "--pidfile", "/run/dhclient/ssd.pid",
		    "--exec", "/sbin/dhclient", "--", "-p",
		    "/run/dhclient/ssd.4.pid", "ssd0" },
	};
	std::vector<std::vector<double>> start(commands.size());
	for (int i = 0; i < runs; i++)
		for (size_t k = 0; k < commands.size(); k++) {
			size_t which = (i + k) % commands.size();
			start[which].push_back(time_command(commands[which]));
			clean_slate();
		}

	/*
	 * Stop: SIGTERM to the daemon until both clients have it, and until
	 * it has ended; follow: the IPv4 client's end until the daemon's.
	 * Each beside the floor, alternated.
	 */
	std::vector<double> stop_clients[2], stop_gone[2], follow[2];
	const std::vector<std::string> own = { bistack, "em0" },
				       floor_cmd = { floor_bin, "em0" };
	for (int i = 0; i < runs; i++)
		for (int k = 0; k < 2; k++) {
			int which = (i + k) % 2;
			auto taken = time_stop(which == 0 ? own : floor_cmd,
			    which == 0 ? "dhclient." : "floor.");
			stop_clients[which].push_back(taken.first);
			stop_gone[which].push_back(taken.second);
		}
	for (int i = 0; i < follow_runs; i++)
		for (int k = 0; k < 2; k++) {
			int which = (i + k) % 2;
			follow[which].push_back(
			    time_follow(which == 0 ? own : floor_cmd,
				which == 0 ? "dhclient." : "floor."));
		}

	/* The IPv6 client started again after its end. */
	std::vector<double> restart, restart_woke;
	for (int i = 0; i < restart_runs; i++) {
		long woke;
		restart.push_back(time_restart(bistack, &woke));
		restart_woke.push_back((double)woke);
	}

	/* Wake-ups while the clients have not recorded their PIDs. */
	std::vector<double> first_woke;
	for (int i = 0; i < 5; i++)
		first_woke.push_back((double)first_second_wakeups(bistack));

	/* Memory and idle cost of one daemon, beside idle sleep and tini. */
	time_command({ bistack, "em0" });
	pid_t daemon = daemon_of("em0");
	pid_t sleeper = spawn_idle({ "/bin/sleep", "1000" });
	bool have_tini = access("/usr/bin/tini", X_OK) == 0;
	pid_t tini = have_tini
	    ? spawn_idle({ "/usr/bin/tini", "-s", "--", "/bin/sleep", "1000" })
	    : 0;
	long rss = status_kb(daemon, "VmRSS:"),
	     sleep_rss = status_kb(sleeper, "VmRSS:"),
	     tini_rss = have_tini ? status_kb(tini, "VmRSS:") : -1;
	long ticks0 = cpu_ticks(daemon),
	     switches0 = status_kb(daemon, "voluntary_ctxt_switches:");
	sleep(10);
	long idle_ticks = cpu_ticks(daemon) - ticks0;
	long wakeups =
	    status_kb(daemon, "voluntary_ctxt_switches:") - switches0;
	clean_slate();

	/* Scale: N instances at once. */
	std::vector<std::string> scale_rows;
	for (int n : { 1, 10, 100 }) {
		double total = 0;
		for (int k = 0; k < n; k++)
			total +=
			    time_command({ bistack, "em" + std::to_string(k) });
		long kb = 0;
		for (int k = 0; k < n; k++)
			kb += status_kb(
			    daemon_of("em" + std::to_string(k)), "VmRSS:");
		scale_rows.push_back(fmt(
		    "| %.0f | %.3f | %.0f |", n, total / n, (double)kb / n));
		clean_slate();
	}

	Stats s = stats(start[0]), f = stats(start[1]), d = stats(start[2]),
	      sc = stats(stop_clients[0]), fsc = stats(stop_clients[1]),
	      sg = stats(stop_gone[0]), fsg = stats(stop_gone[1]),
	      fo = stats(follow[0]), ffo = stats(follow[1]),
	      re = stats(restart), rw = stats(restart_woke),
	      fw = stats(first_woke);
	auto spread = [](const Stats &x) {
		return fmt("%.3f (%.3f-%.3f)", x.median, x.p10, x.p90);
	};
	auto worst = [](const Stats &x) {
		return fmt("%.3f (%.3f), %.3f", x.median, x.p90, x.max);
	};
	auto met = [](bool ok) { return ok ? "met" : "MISSED"; };
	struct utsname un;
	uname(&un);
	time_t t = time(nullptr);
	char date[32];
	strftime(date, sizeof(date), "%Y-%m-%d", gmtime(&t));
	std::string libs;
	FILE *rd = popen(("readelf -d " + bistack +
			     " | sed -n 's/.*(NEEDED).*\\[\\(.*\\)\\]/\\1/p'")
			     .c_str(),
	    "r");
	for (char line[256]; rd != nullptr && fgets(line, sizeof(line), rd);)
		libs += (libs.empty() ? "" : ", ") +
		    std::string(line, strcspn(line, "\n"));
	if (rd != nullptr)
		pclose(rd);

	out << "bistack-lease benchmark, " << date << ", "
	    << sysconf(_SC_NPROCESSORS_ONLN) << " cores, Linux " << un.release
	    << "; " << runs << " runs of each start and stop, the three "
	    << "start commands alternated, and bistack-lease's stop and "
	    << "follow with the floor's.  The IPv4 stand-in holds its PID file "
	    << "locked with a helper process, as the base client does.\n\n"
	    << "| measure | bistack-lease | floor | stock tool | target | |\n"
	    << "|---|---|---|---|---|---|\n"
	    << "| start to ready, ms: median (p10-p90) | " << spread(s) << " | "
	    << spread(f) << " | " << spread(d)
	    << " (start-stop-daemon, one client) | "
	    << fmt("<= 1.25x floor: %.2fx", s.median / f.median) << " | "
	    << met(s.median <= 1.25 * f.median) << " |\n"
	    << "| stop, SIGTERM until both clients have it, ms: median (p90), "
	       "worst | "
	    << worst(sc) << " | " << worst(fsc) << " | | median < 5 | "
	    << met(sc.median < 5) << " |\n"
	    << "| stop, SIGTERM until the daemon has ended, its clients and "
	       "the IPv4 client's helper before it, ms: median (p90), worst | "
	    << worst(sg) << " | " << worst(fsg)
	    << " | | median < 10, worst < 100 | "
	    << met(sg.median < 10 && sg.max < 100) << " |\n"
	    << "| stop until the daemon has ended, beside the floor's | "
	    << fmt("%.2fx", sg.median / fsg.median) << " | 1x | | <= 1.25x | "
	    << met(sg.median <= 1.25 * fsg.median) << " |\n"
	    << "| follow, the IPv4 client's end (10 ms after it recorded its "
	       "PID) until the daemon has ended, ms: median (p90), worst of "
	    << follow_runs << " | " << worst(fo) << " | " << worst(ffo)
	    << " | | median < 20, worst < 100 | "
	    << met(fo.median < 20 && fo.max < 100) << " |\n"
	    << "| restart, the IPv6 client's end (killed, 10 ms after it "
	       "recorded its PID) until its new process has recorded its own, "
	       "ms: median (p90), worst of "
	    << restart_runs << " | " << worst(re)
	    << " | | | the pause (1000) and the record window (250), plus "
	       "< 20 | "
	    << met(re.median >= 1250 && re.max < 1270) << " |\n"
	    << "| restart, the daemon's wake-ups meanwhile: median, worst | "
	    << fmt("%.0f, %.0f", rw.median, rw.max)
	    << " | | | its events alone, <= 10 | " << met(rw.max <= 10)
	    << " |\n"
	    << "| wake-ups while the clients have not recorded their PIDs "
	       "(they do after 1 s), in the 1.2 s from the start: median, "
	       "worst of 5 | "
	    << fmt("%.0f, %.0f", fw.median, fw.max)
	    << " | | | <= 10 a client | " << met(fw.max <= 20) << " |\n"
	    << "| idle resident memory, kB | " << rss << " | | " << sleep_rss
	    << " (sleep)"
	    << (have_tini ? ", " + std::to_string(tini_rss) + " (tini)" : "")
	    << " | <= sleep | " << met(rss <= sleep_rss) << " |\n"
	    << "| idle CPU over 10 s, clock ticks (wake-ups) | " << idle_ticks
	    << " (" << wakeups << ") | | | < 1 tick | " << met(idle_ticks < 1)
	    << " |\n"
	    << "| run-time libraries | " << libs << " | | | libc only | "
	    << met(libs.rfind("libc.so", 0) == 0 &&
		   libs.find(',') == std::string::npos)
	    << " |\n\n"
	    << "| instances at once | start per instance, ms (mean) | "
	       "resident memory per daemon, kB |\n"
	    << "|---|---|---|\n";
	for (const std::string &row : scale_rows)
		out << row << "\n";

	std::string table = out.str();
	fputs(table.c_str(), stdout);
	std::ofstream(argv[4]) << table;
	return 0;
}
