/*
 * What a caller hands the program, and what it may find in place of the
 * daemon's PID file: the daemon always stops, lets go of its caller, and
 * never writes through a trap or waits on one.
 */

#include <sys/mount.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sandbox.h"

namespace {

/*
 * The clients are stand-ins that end by SIGTERM's default action, so that
 * what they inherit shows, and that go into the background, as the real
 * ones do, so that only the daemon could hold the caller's descriptors.
 */
class HostileCaller : public testing::TestWithParam<std::string> { };

TEST_P(HostileCaller, TheDaemonLetsGoOfItAndItsStopEndsBothClients)
{
	in_sandbox({}, [] {
		const std::string caller = GetParam();
		const std::string fifo = "/run/test/caller-output";
		setenv("FAKE_DHCLIENT_DEFAULT_TERM", "1", 1);
		setenv("FAKE_DHCLIENT_DETACH", "1", 1);
		RunOptions opts;
		int output = -1;
		if (caller == "SigtermBlocked") {
			opts.before_exec = [] {
				sigset_t term;
				sigemptyset(&term);
				sigaddset(&term, SIGTERM);
				sigprocmask(SIG_BLOCK, &term, nullptr);
			};
		} else if (caller == "SigtermIgnored") {
			opts.before_exec = [] { signal(SIGTERM, SIG_IGN); };
		} else if (caller == "OutputReadToItsEnd") {
			/* As out=$(bistack-lease em0), with one more
			 * descriptor. */
			ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
			output = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
			ASSERT_NE(output, -1);
			opts.before_exec = [fifo] {
				int fd = open(fifo.c_str(), O_WRONLY);
				dup2(fd, 1);
				dup2(fd, 7);
			};
		} else if (caller == "Umask000") {
			opts.umask = 0;
		}

		EXPECT_EQ(describe(wait_exit(start_program({ "em0" }, opts))),
		    "exit 0");
		pid_t daemon = pid_in(pidfile("em0"));
		ASSERT_GT(daemon, 1);
		std::vector<std::string> fds = daemon_fds_at_rest(daemon);
		ASSERT_EQ(fds.size(), 7u);
		EXPECT_EQ(
		    std::vector<std::string>(fds.begin(), fds.begin() + 3),
		    std::vector<std::string>(3, "/dev/null"));
		if (output != -1) {
			char buf[64];
			ssize_t n = -1;
			EXPECT_TRUE(eventually([&] {
				return (n = read(output, buf, sizeof(buf))) ==
				    0;
			})) << "the caller's output was not let go";
			close(output);
		}
		struct stat st;
		ASSERT_EQ(stat(pidfile("em0").c_str(), &st), 0);
		EXPECT_EQ(st.st_mode & 07777, 0644u);

		std::vector<Client> clients;
		ASSERT_TRUE(eventually([&] {
			clients = started_clients();
			return clients.size() == 2 &&
			    pid_in(pidfile("em0", "4")) == clients[0].pid &&
			    pid_in(pidfile("em0", "6")) == clients[1].pid;
		}));
		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
		for (const Client &client : clients)
			EXPECT_EQ(describe(wait_exit(client.pid)), "signal 15")
			    << client.argv[0];
		EXPECT_EQ(processes(), std::vector<pid_t> {});
	});
}

INSTANTIATE_TEST_SUITE_P(Callers, HostileCaller,
    testing::Values(
	"SigtermBlocked", "SigtermIgnored", "OutputReadToItsEnd", "Umask000"),
    ByName());

/*
 * The caller's signal state: the signals it ignores and those it blocks.
 * Both clients start with what the caller ignores, but SIGTERM and SIGCHLD
 * at their default actions, and with no signal blocked: whatever a launch
 * did meanwhile (the IPv6 client's process ignores SIGHUP while it waits)
 * is undone.
 */
struct SignalState {
	const char *name;
	std::vector<int> ignored, blocked;
};

void
PrintTo(const SignalState &s, std::ostream *os)
{
	*os << s.name;
}

/* A field of /proc/PID/status that holds a signal mask. */
unsigned long long
signal_mask(pid_t pid, const std::string &field)
{
	std::string mask = status_field(pid, field);
	return mask.empty() ? ~0ULL : strtoull(mask.c_str(), nullptr, 16);
}

unsigned long long
mask_of(const std::vector<int> &sigs)
{
	unsigned long long mask = 0;
	for (int sig : sigs)
		mask |= 1ULL << (sig - 1);
	return mask;
}

class CallersSignalState : public testing::TestWithParam<SignalState> { };

TEST_P(CallersSignalState, IsWhatBothClientsStartWithButForSigtermAndSigchld)
{
	in_sandbox({}, [] {
		const SignalState state = GetParam();
		/* Stand-ins that change nothing of their signal state. */
		setenv("FAKE_DHCLIENT_DEFAULT_TERM", "1", 1);
		RunOptions opts;
		opts.before_exec = [state] {
			sigset_t blocked;
			sigemptyset(&blocked);
			for (int sig : state.blocked)
				sigaddset(&blocked, sig);
			sigprocmask(SIG_BLOCK, &blocked, nullptr);
			for (int sig : state.ignored)
				signal(sig, SIG_IGN);
		};
		EXPECT_EQ(describe(wait_exit(start_program({ "em0" }, opts))),
		    "exit 0");
		pid_t daemon = pid_in(pidfile("em0"));
		ASSERT_GT(daemon, 1);
		ASSERT_TRUE(
		    eventually([] { return started_clients().size() == 2; }));

		/* The test's own, as it was started, are the caller's too. */
		unsigned long long ignored =
		    signal_mask(getpid(), "SigIgn") | mask_of(state.ignored);
		ignored &= ~mask_of({ SIGTERM, SIGCHLD });
		for (const Client &client : started_clients()) {
			SCOPED_TRACE(client.argv[0]);
			EXPECT_EQ(signal_mask(client.pid, "SigIgn"), ignored);
			EXPECT_EQ(signal_mask(client.pid, "SigBlk"), 0u);
		}
		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
		EXPECT_TRUE(all_ended());
	});
}

INSTANTIATE_TEST_SUITE_P(Callers, CallersSignalState,
    testing::Values(SignalState { "AsFresh", {}, {} },
	SignalState { "NohupIgnoresSighup", { SIGHUP }, {} },
	SignalState { "SigchldIgnored", { SIGCHLD }, {} },
	SignalState { "SigtermIgnoredAndBlocked", { SIGTERM }, { SIGTERM } },
	SignalState { "AShellsBackgroundJob", { SIGINT, SIGQUIT },
	    { SIGUSR1, SIGHUP, SIGALRM } },
	SignalState {
	    "FirstAndLastRealTimeIgnored", { SIGRTMIN, SIGRTMAX }, {} }),
    ByName());

/*
 * Which of the standard descriptors the caller closed.  The IPv6 client is
 * missing, so that its child has something to say on standard error.
 */
class ClosedDescriptors : public testing::TestWithParam<std::string> { };

TEST_P(ClosedDescriptors, ArePointedAtDevNullForTheClientsAndNothingIsMixedUp)
{
	SandboxSetup setup;
	setup.v6_client = nullptr;
	in_sandbox(setup, [] {
		const std::string closed = GetParam();
		RunOptions opts;
		opts.before_exec = [closed] {
			for (int fd = 0; fd < 3; fd++)
				if (closed == "All" || fd == 2)
					close(fd);
		};
		EXPECT_EQ(describe(wait_exit(start_program({ "em0" }, opts))),
		    "exit 0");
		pid_t daemon = pid_in(pidfile("em0"));
		ASSERT_GT(daemon, 1);
		std::optional<std::string> own = read_file(pidfile("em0"));
		EXPECT_EQ(own, std::to_string(daemon));

		/* The IPv4 client starts, with somewhere to write to. */
		std::vector<Client> clients;
		ASSERT_TRUE(eventually([&] {
			clients = started_clients();
			return clients.size() == 1 &&
			    pid_in(pidfile("em0", "4")) == clients[0].pid;
		})) << "no IPv4 client";
		/*
		 * Those three alone: no second /dev/null, nothing of ours
		 * (once the stand-in has closed its PID file again).
		 */
		EXPECT_TRUE(eventually(
		    [&] { return fd_targets(clients[0].pid).size() == 3; }));
		EXPECT_EQ(fd_targets(clients[0].pid),
		    (std::vector<std::string> { "/dev/null",
			closed == "All" ? "/dev/null" : "/run/test/stdout",
			"/dev/null" }));
		for (int fd = 0; fd < 3; fd++) {
			if (closed != "All" && fd != 2)
				continue;
			std::string info = read_file("/proc/" +
			    std::to_string(clients[0].pid) + "/fdinfo/" +
			    std::to_string(fd))
					       .value_or("");
			size_t at = info.find("flags:\t");
			ASSERT_NE(at, std::string::npos);
			EXPECT_EQ(strtol(info.c_str() + at + 7, nullptr, 8) &
				O_ACCMODE,
			    O_RDWR)
			    << "descriptor " << fd << " is not for reading and "
			    << "writing";
		}

		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
		EXPECT_EQ(first_term_sender(clients[0].pid), daemon);
	});
}

INSTANTIATE_TEST_SUITE_P(Callers, ClosedDescriptors,
    testing::Values("StandardError", "All"), ByName());

/* What is at the daemon's PID file before the start, and the outcome. */
struct InTheWay {
	std::string name;
	int status;
};

void
PrintTo(const InTheWay &in, std::ostream *os)
{
	*os << in.name;
}

class OwnPidfile : public testing::TestWithParam<InTheWay> { };

TEST_P(OwnPidfile, IsTakenOnlyAsARegularFileAndNothingElseIsTouched)
{
	in_sandbox({}, [] {
		const InTheWay in = GetParam();
		const std::string own = pidfile("em0");
		const std::string target = "/run/test/target";
		int reader = -1;
		if (in.name == "SymbolicLink") {
			write_file(target, "precious\n");
			ASSERT_EQ(symlink(target.c_str(), own.c_str()), 0);
		} else if (in.name == "DanglingSymbolicLink") {
			ASSERT_EQ(symlink(target.c_str(), own.c_str()), 0);
		} else if (in.name == "FIFO") {
			ASSERT_EQ(mkfifo(own.c_str(), 0644), 0);
		} else if (in.name == "FIFOWithAReader") {
			/* Then it can be opened for writing without waiting. */
			ASSERT_EQ(mkfifo(own.c_str(), 0644), 0);
			reader = open(own.c_str(), O_RDONLY | O_NONBLOCK);
			ASSERT_NE(reader, -1);
		} else if (in.name == "Directory") {
			ASSERT_EQ(mkdir(own.c_str(), 0755), 0);
		} else if (in.name == "Device") {
			write_file(own, "");
			ASSERT_EQ(mount("/dev/null", own.c_str(), nullptr,
				      MS_BIND, nullptr),
			    0);
		} else if (in.name == "LeftByAKilledDaemon") {
			write_file(own, "4000000");
		}
		struct stat before, after;
		ASSERT_EQ(lstat(own.c_str(), &before), 0);

		EXPECT_EQ(describe(run_program({ "em0" })),
		    "exit " + std::to_string(in.status));
		EXPECT_EQ(program_stderr(), "");
		if (in.status == 0) {
			pid_t daemon = pid_in(own);
			EXPECT_EQ(read_file(own), std::to_string(daemon));
			ASSERT_TRUE(send_sigterm(daemon));
			EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
			return;
		}
		EXPECT_TRUE(started_clients().empty());
		EXPECT_EQ(processes(), std::vector<pid_t> {});
		ASSERT_EQ(lstat(own.c_str(), &after), 0);
		EXPECT_EQ(after.st_mode, before.st_mode);
		EXPECT_EQ(after.st_ino, before.st_ino);
		EXPECT_EQ(read_file(target),
		    in.name == "SymbolicLink"
			? std::optional<std::string>("precious\n")
			: std::nullopt);
		if (reader != -1)
			close(reader);
	});
}

INSTANTIATE_TEST_SUITE_P(InTheWay, OwnPidfile,
    testing::Values(InTheWay { "SymbolicLink", 1 },
	InTheWay { "DanglingSymbolicLink", 1 }, InTheWay { "FIFO", 1 },
	InTheWay { "FIFOWithAReader", 1 }, InTheWay { "Directory", 1 },
	InTheWay { "Device", 1 }, InTheWay { "LeftByAKilledDaemon", 0 }),
    ByName());

/*
 * A start that has opened the PID file just as the daemon holding it ends
 * and removes it: it locks a file that no path leads to any more, and so
 * must open the file afresh.
 */
TEST(OwnPidfile, AStartThatOpenedItAsTheOldDaemonEndedTakesItAfresh)
{
	in_sandbox({}, [] {
		Started old = start_serving("em0");
		ASSERT_GT(old.daemon, 1);
		pid_t starter;
		pid_t held = start_held_at_lock(&starter);
		ASSERT_GT(held, 1);
		ASSERT_TRUE(send_sigterm(old.daemon));
		EXPECT_EQ(describe(wait_exit(old.daemon)), "exit 0");
		ASSERT_FALSE(exists(pidfile("em0")));

		release_held(held);
		EXPECT_EQ(describe(wait_exit(starter)), "exit 0");
		pid_t daemon = pid_in(pidfile("em0"));
		ASSERT_GT(daemon, 1);
		EXPECT_TRUE(alive(daemon));
		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
	});
}

/* Only the file it took is the daemon's to remove. */
TEST(OwnPidfile, AFileThatReplacedItByHandSurvivesTheStop)
{
	in_sandbox({}, [] {
		Started s = start_serving("em0");
		ASSERT_GT(s.daemon, 1);
		const std::string other = "/var/run/dhclient/other";
		write_file(other, "someone else's\n");
		ASSERT_EQ(rename(other.c_str(), pidfile("em0").c_str()), 0);

		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_EQ(read_file(pidfile("em0")),
		    std::optional<std::string>("someone else's\n"));
	});
}

} // namespace
