/*
 * How soon each way out of a client's life is taken.  A stop, or an end
 * the daemon can tell is final, takes a millisecond or two; the one wait
 * that no event ends, a quarter of a second for a client that may yet
 * record a new process, must show as the difference it is; and a file
 * held locked is waited for as long as the manual page says.
 */

#include <sys/file.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sandbox.h"

namespace {

/*
 * How long the daemon took to end after act, on the programs' clock, and
 * its status; waited for up to limit_ms of that clock.
 */
long
time_to_end(pid_t daemon, const std::function<void()> &act, std::string *status,
    long limit_ms = 10000)
{
	long start = program_ms();
	act();
	*status = describe(wait_exit(daemon, slowed(limit_ms)));
	return program_ms() - start;
}

/* The range a way out must be taken in. */
testing::AssertionResult
taken_within(long ms, long window_ms)
{
	if (ms >= window_ms && ms < window_ms + prompt_ms)
		return testing::AssertionSuccess();
	return testing::AssertionFailure()
	    << "took " << ms << " ms, not " << window_ms << " ms and less than "
	    << prompt_ms << " ms more";
}

/*
 * What the clients are doing when the stop comes, once each has recorded
 * its PID: running as started, in the background (only the records lead
 * to them), without an IPv6 client (it could not be executed), or killed
 * before it could record, so that it may have forked and record later:
 * then, and only then, the record window is waited out.
 */
struct StopCase {
	const char *name;
	const char *env;
	bool v6_missing;
	long window_ms;
};

void
PrintTo(const StopCase &c, std::ostream *os)
{
	*os << c.name;
}

class PromptStop : public testing::TestWithParam<StopCase> { };

TEST_P(PromptStop, EndsAsSoonAsTheClientsHaveEnded)
{
	const StopCase c = GetParam();
	SandboxSetup setup;
	if (c.v6_missing)
		setup.v6_client = nullptr;
	in_sandbox(setup, [&] {
		without_leak_check();
		slow_clock(timed_slower);
		if (c.env != nullptr)
			putenv(const_cast<char *>(c.env));
		ASSERT_EQ(describe(run_program({ "em0" })), "exit 0");
		pid_t daemon = pid_in(pidfile("em0"));
		ASSERT_GT(daemon, 1);
		/*
		 * Recorded, and the daemon watches the records alone: a
		 * started process that has not ended yet is not one it
		 * recorded, and may have forked.
		 */
		ASSERT_TRUE(eventually([&] {
			size_t clients = started_clients().size();
			pid_t v4 = pid_in(pidfile("em0", "4"));
			pid_t v6 = pid_in(pidfile("em0", "6"));
			std::vector<pid_t> records { v4 };
			if (!c.v6_missing)
				records = { std::min(v4, v6),
					std::max(v4, v6) };
			return c.window_ms > 0 ? clients == 2
					       : v4 > 0 &&
				(c.v6_missing ? program_stderr().size() > 0
					      : v6 > 0 && clients == 2) &&
				watched_by(daemon) == records;
		}));

		std::string status;
		long ms = time_to_end(
		    daemon, [&] { send_sigterm(daemon); }, &status);
		EXPECT_EQ(status, "exit 0");
		EXPECT_TRUE(taken_within(ms, c.window_ms));
		EXPECT_TRUE(all_ended());
	});
}

INSTANTIATE_TEST_SUITE_P(Promptness, PromptStop,
    testing::Values(StopCase { "ClientsAsStarted", nullptr, false, 0 },
	StopCase {
	    "ClientsInTheBackground", "FAKE_DHCLIENT_BACKGROUND=1", false, 0 },
	StopCase { "WithoutAnIPv6Client", nullptr, true, 0 },
	StopCase { "ClientsKilledBeforeTheyRecord",
	    "FAKE_DHCLIENT_DELAY_MS=5000", false, record_wait_ms }),
    ByName());

/*
 * How the IPv4 client ends on its own, once it has recorded its PID and run
 * a moment: killed, so that it may have forked and record again; killed
 * with its file removed, as the base client's helper does; holding its
 * file locked through a helper that lets go soon after; or killed with
 * that helper, its file left behind: it was seen to hold the file locked,
 * and nothing does any more, so no record can follow.  The daemon follows
 * it out, the IPv6 client with it.
 */
struct Follow {
	const char *name;
	const char *lock;
	bool remove_file, kill_helper;
	long window_ms;
};

void
PrintTo(const Follow &f, std::ostream *os)
{
	*os << f.name;
}

class PromptFollow : public testing::TestWithParam<Follow> { };

TEST_P(PromptFollow, TheDaemonEndsAsSoonAsTheIPv4ClientHasEnded)
{
	in_sandbox({}, [] {
		const Follow f = GetParam();
		without_leak_check();
		slow_clock(timed_slower);
		if (f.lock != nullptr)
			setenv("FAKE_DHCLIENT_LOCK", f.lock, 1);
		/*
		 * In the background, so that the daemon is seen to have read
		 * their files: it follows the processes they recorded.
		 */
		setenv("FAKE_DHCLIENT_BACKGROUND", "1", 1);
		Started s = start_following_records("em0");
		pid_t daemon = s.daemon, v4 = s.v4.pid, v6 = s.v6.pid;
		ASSERT_GT(daemon, 1);

		std::string status;
		long ms = time_to_end(
		    daemon,
		    [&] {
			    if (f.remove_file)
				    unlink(pidfile("em0", "4").c_str());
			    if (f.kill_helper)
				    for (pid_t pid : processes())
					    if (stat_fields(pid).size() > 1 &&
						atoi(stat_fields(pid)[1]
							 .c_str()) == v4)
						    kill(pid, SIGKILL);
			    kill(v4, SIGKILL);
		    },
		    &status);
		EXPECT_EQ(status, "exit 0");
		EXPECT_TRUE(taken_within(ms, f.window_ms));
		EXPECT_EQ(first_term_sender(v6), daemon);
		EXPECT_FALSE(exists(pidfile("em0")));
		EXPECT_TRUE(all_ended());
	});
}

INSTANTIATE_TEST_SUITE_P(Promptness, PromptFollow,
    testing::Values(Follow { "KilledMayRecordAgain", nullptr, false, false,
			record_wait_ms },
	Follow { "KilledWithItsFile", nullptr, true, false, 0 },
	Follow { "HelperLetsGoOfItsLock", "20", false, false, 20 },
	Follow { "KilledWithItsLockHolder", "60000", false, true, 0 }),
    ByName());

bool
locked(const std::string &path)
{
	int fd = open(path.c_str(), O_RDONLY);
	bool held = fd != -1 && flock(fd, LOCK_SH | LOCK_NB) == -1;
	if (fd != -1)
		close(fd);
	return held;
}

/*
 * The IPv4 client ends, but its file stays locked long after (a helper
 * that lingers): the daemon takes it for ended after 5 seconds and stops
 * the IPv6 client, then waits up to 5 seconds more for the lock.  Let go
 * of within that, the daemon ends at once with 0, the file free for the
 * next start; still held, the daemon ends at 10 seconds with 1.
 */
struct Lingering {
	const char *name;
	const char *helper_ms;
	long end_ms;
	const char *status;
};

void
PrintTo(const Lingering &l, std::ostream *os)
{
	*os << l.name;
}

class LockHeldLong : public testing::TestWithParam<Lingering> { };

TEST_P(LockHeldLong, IsWaitedForWithinTheStatedBounds)
{
	in_sandbox({}, [] {
		const Lingering l = GetParam();
		/* Early by a look's delay; late by a loaded machine's. */
		const long margin_ms = 1000, late_ms = 3000;
		without_leak_check();
		setenv("FAKE_DHCLIENT_LOCK", l.helper_ms, 1);
		Started s = start_serving("em0");
		ASSERT_GT(s.v6.pid, 0);
		std::vector<std::string> fds = daemon_fds_at_rest(s.daemon);

		long start = now_ms();
		ASSERT_EQ(kill(s.v4.pid, SIGKILL), 0);
		/*
		 * Meanwhile it looks at the lock again and again, and holds
		 * no more for it: one process descriptor less, and no other.
		 */
		ASSERT_TRUE(eventually([&] {
			return watched_by(s.daemon) ==
			    std::vector<pid_t> { s.v6.pid };
		}));
		fds.erase(std::find(fds.begin(), fds.end(), "pidfd"));
		EXPECT_EQ(fd_targets_at_rest(s.daemon), fds);
		struct timespec second = { 1, 0 };
		nanosleep(&second, nullptr);
		EXPECT_EQ(fd_targets_at_rest(s.daemon), fds);
		long v6_stopped = 0;
		ASSERT_TRUE(eventually(
		    [&] {
			    v6_stopped = now_ms() - start;
			    return !term_senders(s.v6.pid).empty();
		    },
		    (int)(stop_wait_ms + late_ms)));
		EXPECT_GE(v6_stopped, stop_wait_ms - margin_ms);
		std::string status = describe(wait_exit(
		    s.daemon, (int)(l.end_ms + late_ms - v6_stopped)));
		long ended = now_ms() - start;
		EXPECT_EQ(status, l.status);
		EXPECT_GE(ended, l.end_ms - margin_ms);
		EXPECT_EQ(locked(pidfile("em0", "4")), l.end_ms == 10000);
		EXPECT_EQ(
		    term_senders(s.v6.pid), std::vector<pid_t> { s.daemon });
	});
}

INSTANTIATE_TEST_SUITE_P(Promptness, LockHeldLong,
    testing::Values(Lingering { "SevenSeconds", "7000", 7000, "exit 0" },
	Lingering { "FifteenSeconds", "15000", 10000, "exit 1" }),
    ByName());

} // namespace
