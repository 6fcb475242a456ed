/*
 * The system's own restarts of an interface's DHCP client: rc stops it by
 * SIGTERM to the daemon's PID and waits only for that PID to go, then may
 * start again at once; devd starts it on every link up, and rc starts
 * nothing while the daemon's PID is alive.  So the daemon's PID must be
 * alive exactly while its clients are.
 */

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "sandbox.h"

namespace {

/*
 * Make pid the number the next process of this namespace gets, if it is
 * free: false if that cannot be asked for here.
 */
bool
next_pid_is(pid_t pid)
{
	std::string last = std::to_string(pid - 1);
	int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY);
	bool done = fd != -1 &&
	    write(fd, last.data(), last.size()) == (ssize_t)last.size();
	if (fd != -1)
		close(fd);
	return done;
}

/*
 * The interface's client started again as rc does it: nothing while the
 * daemon's PID file names a live process.  Returns the new run's clients
 * once both run and have recorded their PIDs, or no clients after a test
 * failure.
 */
Started
start_as_rc(const Started &before)
{
	pid_t running = pid_in(pidfile("em0"));
	if (running > 0 && alive(running)) {
		ADD_FAILURE() << "the daemon " << running
			      << " still stands: rc starts nothing";
		return {};
	}
	Started again = start_serving("em0");
	EXPECT_NE(again.v4.pid, before.v4.pid);
	EXPECT_NE(again.v6.pid, before.v6.pid);
	return again;
}

/* The new run stands, with both its clients, until stopped. */
void
expect_serving(const Started &s)
{
	ASSERT_GT(s.v6.pid, 0);
	EXPECT_TRUE(alive(s.daemon) && alive(s.v4.pid) && alive(s.v6.pid));
	EXPECT_EQ(program_stderr().find("already running"), std::string::npos)
	    << program_stderr();
	ASSERT_TRUE(send_sigterm(s.daemon));
	EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
	EXPECT_TRUE(all_ended());
}

/*
 * How the clients end after SIGTERM: the IPv4 one holds its PID file
 * locked, as the base client does, with a helper that lets go of the lock
 * a while after the client has ended; or both take a while to exit.
 */
struct Ending {
	const char *name;
	const char *helper_ms;
	const char *exit_ms;
};

void
PrintTo(const Ending &e, std::ostream *os)
{
	*os << e.name;
}

class RcRestart : public testing::TestWithParam<Ending> { };

TEST_P(RcRestart, FindsTheClientsGoneAndStartsBothAgain)
{
	in_sandbox({}, [] {
		const Ending e = GetParam();
		setenv("FAKE_DHCLIENT_LOCK", e.helper_ms, 1);
		setenv("FAKE_DHCLIENT_EXIT_DELAY_MS", e.exit_ms, 1);
		Started s = start_serving("em0");
		ASSERT_GT(s.v6.pid, 0);

		/* rc's restart: stop, wait for the daemon's PID, start. */
		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_FALSE(alive(s.v4.pid) || alive(s.v6.pid))
		    << "the daemon ended before its clients";
		expect_serving(start_as_rc(s));
	});
}

INSTANTIATE_TEST_SUITE_P(Restart, RcRestart,
    testing::Values(Ending { "HelperLetsGoOfTheLockLater", "150", "0" },
	Ending { "ClientsSlowToExit", "0", "300" }),
    ByName());

/*
 * The base client ends on its own when its interface goes down; devd
 * starts the interface's client when it comes up again, here 150 ms later.
 * The IPv4 client's helper lets go of its file some time after it, or has
 * removed it by the time the daemon learns of the end (as it may when it
 * is quick); then there is no IPv6 client, and the IPv4 client records
 * its PID only after a while, so that nothing else makes the daemon look
 * at that file while it is there.
 */
struct Bounce {
	const char *name;
	const char *helper_ms;
	bool v6;
	const char *record_ms; /* how long it takes to record its PID */
};

void
PrintTo(const Bounce &b, std::ostream *os)
{
	*os << b.name;
}

class LinkBounce : public testing::TestWithParam<Bounce> { };

TEST_P(LinkBounce, FindsTheDaemonGoneAndStartsTheClientsAgain)
{
	const Bounce b = GetParam();
	SandboxSetup setup;
	if (!b.v6)
		setup.v6_client = nullptr;
	in_sandbox(setup, [&] {
		/* Timed: no leak scan at the daemon's exit. */
		without_leak_check();
		slow_clock(timed_slower);
		setenv("FAKE_DHCLIENT_LOCK", b.helper_ms, 1);
		setenv("FAKE_DHCLIENT_DELAY_MS", b.record_ms, 1);
		/*
		 * In the background, so that the daemon is seen to have read
		 * the IPv4 client's file: it follows the process recorded
		 * there.  (A file written and removed between two of its
		 * looks, as on a machine too loaded to run it, cannot be seen.)
		 */
		setenv("FAKE_DHCLIENT_BACKGROUND", "1", 1);
		ASSERT_EQ(describe(run_program({ "em0" })), "exit 0");
		pid_t daemon = pid_in(pidfile("em0")), v4 = 0;
		ASSERT_TRUE(eventually([&] {
			v4 = pid_in(pidfile("em0", "4"));
			std::vector<pid_t> w = watched_by(daemon);
			return v4 > 0 && alive(v4) &&
			    std::count(w.begin(), w.end(), v4) == 1 &&
			    (!b.v6 || started_clients().size() == 2);
		}));
		/* It has run for a moment when its interface goes down. */
		nap(20);

		if (!b.v6) {
			ASSERT_EQ(unlink(pidfile("em0", "4").c_str()), 0);
		}
		ASSERT_EQ(kill(v4, SIGKILL), 0);
		/* The bounce itself, not a wait for anything. */
		nap(150);
		pid_t running = pid_in(pidfile("em0"));
		ASSERT_FALSE(running > 0 && alive(running))
		    << "the daemon " << running << " still stands: rc starts "
		    << "nothing";
		EXPECT_EQ(describe(wait_exit(daemon, 0)), "exit 0");
		ASSERT_EQ(describe(run_program({ "em0" })), "exit 0");
		pid_t again = 0;
		ASSERT_TRUE(eventually([&] {
			again = pid_in(pidfile("em0", "4"));
			return again > 0 && again != v4 && alive(again);
		}));
		EXPECT_EQ(
		    program_stderr().find("already running"), std::string::npos)
		    << program_stderr();
		pid_t second = pid_in(pidfile("em0"));
		ASSERT_TRUE(send_sigterm(second));
		EXPECT_EQ(describe(wait_exit(second)), "exit 0");
		EXPECT_TRUE(all_ended());
	});
}

INSTANTIATE_TEST_SUITE_P(Restart, LinkBounce,
    testing::Values(Bounce { "HelperLetsGoLater", "20", true, "0" },
	Bounce { "FileRemovedFirstWithoutAnIPv6Client", "0", false, "100" }),
    ByName());

/*
 * A client that ignores SIGTERM is left running once the stop's bound has
 * passed, and the stop says so.
 */
TEST(Restart, AClientThatIgnoresSigtermFailsTheStopAfterItsBound)
{
	in_sandbox({}, [] {
		setenv("FAKE_DHCLIENT_EXIT_DELAY_MS", "-1", 1);
		Started s = start_serving("em0");
		ASSERT_GT(s.v6.pid, 0);

		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon, 8000)), "exit 1");
		EXPECT_FALSE(exists(pidfile("em0")));
		for (pid_t client : { s.v4.pid, s.v6.pid }) {
			EXPECT_TRUE(alive(client));
			EXPECT_EQ(term_senders(client),
			    std::vector<pid_t> { s.daemon });
			kill(client, SIGKILL);
		}
	});
}

/*
 * em0's IPv6 client dies, and its number goes to another dhclient (as
 * another interface's client) while em0's file still names it: the stop
 * of em0 must not reach that one.
 */
TEST(Restart, ADeadClientsNumberGivenToAnotherDhclientIsLeftAlone)
{
	in_sandbox({}, [] {
		Started s = start_serving("em0");
		ASSERT_GT(s.v6.pid, 0);
		ASSERT_EQ(kill(s.v6.pid, SIGKILL), 0);
		/* Its parent, the daemon, reaps it, and frees its number. */
		ASSERT_TRUE(eventually([&] {
			return !exists("/proc/" + std::to_string(s.v6.pid));
		}));

		if (!next_pid_is(s.v6.pid))
			GTEST_SKIP() << "ns_last_pid cannot be set here";
		pid_t other = start_bystander();
		ASSERT_EQ(other, s.v6.pid) << "the number was not reused";
		ASSERT_EQ(pid_in(pidfile("em0", "6")), other);

		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_EQ(
		    term_senders(s.v4.pid), std::vector<pid_t> { s.daemon });
		EXPECT_EQ(first_term_sender(other), 1);
	});
}

/*
 * em0's IPv4 client, which has recorded nothing, ends while the daemon
 * cannot look (stopped, as on a busy machine); another process, whose child
 * is another interface's dhclient, is started with the next number, which
 * would be the ended client's if it were free.  The stop must reach neither:
 * the client was the daemon's child, and its number stays taken until the
 * daemon has seen its end.
 */
TEST(Restart, AStartedProcessThatEndsUnseenLendsItsNumberToNobody)
{
	in_sandbox({}, [] {
		setenv("FAKE_DHCLIENT_NO_PIDFILE", "1", 1);
		Started s = start_serving("em0");
		ASSERT_GT(s.v4.pid, 0);
		ASSERT_EQ(kill(s.daemon, SIGSTOP), 0);
		ASSERT_EQ(kill(s.v4.pid, SIGKILL), 0);
		ASSERT_TRUE(eventually([&] {
			std::vector<std::string> fields = stat_fields(s.v4.pid);
			return !fields.empty() && fields[0] == "Z";
		}));

		if (!next_pid_is(s.v4.pid))
			GTEST_SKIP() << "ns_last_pid cannot be set here";
		std::string dhclient = named_program("dhclient");
		pid_t other = fork();
		if (other == 0) {
			if (fork() == 0) {
				execl(dhclient.c_str(), "dhclient", "bystander",
				    (char *)nullptr);
				_exit(127);
			}
			pause();
			_exit(0);
		}
		EXPECT_NE(other, s.v4.pid) << "the number was handed out";
		pid_t child = 0;
		ASSERT_TRUE(eventually([&] {
			for (pid_t pid : processes()) {
				std::vector<std::string> fields =
				    stat_fields(pid);
				if (fields.size() > 1 &&
				    atoi(fields[1].c_str()) == other &&
				    read_file("/proc/" + std::to_string(pid) +
					"/comm") == std::string("dhclient\n"))
					child = pid;
			}
			return child != 0;
		}));

		ASSERT_EQ(kill(s.daemon, SIGCONT), 0);
		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_TRUE(term_senders(child).empty());
		kill(other, SIGKILL);
		kill(child, SIGKILL);
	});
}

} // namespace
