/*
 * A start that fails half-way, after a client was started: the command
 * exits 1, and leaves nothing running and no PID file behind.
 */

#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include "sandbox.h"

namespace {

/*
 * The nth fork of the program fails: the starting process forks the
 * daemon, and the daemon the clients.
 */
struct Fork {
	const char *name;
	int nth;
};

void
PrintTo(const Fork &fork, std::ostream *os)
{
	*os << fork.name;
}

class FailedFork : public testing::TestWithParam<Fork> { };

TEST_P(FailedFork, ExitsOneAndLeavesNothingRunning)
{
	in_sandbox({}, [] {
		const std::string nth = std::to_string(GetParam().nth);
		RunOptions opts;
		opts.before_exec = [nth] {
			preload(FAIL_FORK_PATH);
			setenv("FAIL_FORK", nth.c_str(), 1);
		};
		EXPECT_EQ(describe(run_program({ "em0" }, opts)), "exit 1");
		EXPECT_EQ(program_stderr(), "");
		EXPECT_FALSE(exists(pidfile("em0")));
		EXPECT_TRUE(all_ended()) << "a client was left running";
	});
}

INSTANTIATE_TEST_SUITE_P(FailedStart, FailedFork,
    testing::Values(Fork { "OfTheDaemon", 1 }, Fork { "OfTheIPv4Client", 2 },
	Fork { "OfTheIPv6Client", 3 }),
    ByName());

TEST(FailedStart, ADaemonKilledBeforeItIsReadyFailsTheCommand)
{
	in_sandbox({}, [] {
		pid_t starter;
		pid_t daemon = start_held(Hold::Reporting, &starter);
		ASSERT_GT(daemon, 1);
		ASSERT_EQ(kill(daemon, SIGKILL), 0);
		EXPECT_EQ(describe(wait_exit(daemon)), "signal 9");

		EXPECT_EQ(describe(wait_exit(starter)), "exit 1");
		EXPECT_FALSE(exists(pidfile("em0")));
		EXPECT_TRUE(all_ended()) << "a client was left running";
	});
}

/*
 * The starting process is signalled while the daemon is at one moment of
 * the start, held there: about to lock its PID file (nothing started yet),
 * its PID just recorded (both clients started), or about to report.  A
 * stop signal (rc's stop, the terminal's hangup, Ctrl-C, which reaches the
 * daemon too) stops the start: the command exits 1 with nothing left.  A
 * SIGKILL leaves the daemon to carry on, standing for its clients.
 */
enum class Moment { AtItsLock, Recorded, Reporting };

struct Interrupt {
	const char *name;
	Moment moment;
	int sig;
	bool daemon_too; /* the signal reaches the daemon as well */
};

void
PrintTo(const Interrupt &i, std::ostream *os)
{
	*os << i.name;
}

class InterruptedStart : public testing::TestWithParam<Interrupt> { };

TEST_P(InterruptedStart, LeavesNothingOrADaemonStandingForItsClients)
{
	const Interrupt c = GetParam();
	in_sandbox({}, [&] {
		without_leak_check();
		pid_t starter, daemon;
		if (c.moment == Moment::AtItsLock)
			daemon = start_held_at_lock(&starter);
		else
			daemon = start_held(c.moment == Moment::Recorded
				? Hold::Recorded
				: Hold::Reporting,
			    &starter);
		ASSERT_GT(daemon, 1);
		ASSERT_EQ(kill(starter, c.sig), 0);
		if (c.daemon_too) {
			ASSERT_EQ(kill(daemon, c.sig), 0);
		}
		if (c.sig == SIGKILL) {
			EXPECT_EQ(describe(wait_exit(starter)), "signal 9");
		}
		release_held(daemon);

		if (c.sig != SIGKILL) {
			EXPECT_EQ(describe(wait_exit(starter)), "exit 1");
			EXPECT_FALSE(exists(pidfile("em0")));
			EXPECT_TRUE(all_ended()) << "a client was left running";
			return;
		}
		/* Its own child: once the starter is gone, the test's. */
		ASSERT_TRUE(eventually([&] {
			return pid_in(pidfile("em0")) == daemon &&
			    started_clients().size() == 2;
		}));
		EXPECT_EQ(describe(wait_exit(daemon, 300)), "still running");
		std::vector<Client> clients = started_clients();
		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
		for (const Client &client : clients)
			EXPECT_EQ(term_senders(client.pid),
			    std::vector<pid_t> { daemon });
		EXPECT_TRUE(all_ended());
	});
}

INSTANTIATE_TEST_SUITE_P(FailedStart, InterruptedStart,
    testing::Values(
	Interrupt { "SigtermAtItsLock", Moment::AtItsLock, SIGTERM, false },
	Interrupt { "SigtermRecorded", Moment::Recorded, SIGTERM, false },
	Interrupt { "SigtermReporting", Moment::Reporting, SIGTERM, false },
	Interrupt { "HangupAtItsLock", Moment::AtItsLock, SIGHUP, false },
	Interrupt { "HangupRecorded", Moment::Recorded, SIGHUP, true },
	Interrupt { "CtrlCAtItsLock", Moment::AtItsLock, SIGINT, true },
	Interrupt { "CtrlCReporting", Moment::Reporting, SIGINT, true },
	Interrupt { "SigkillAtItsLock", Moment::AtItsLock, SIGKILL, false },
	Interrupt { "SigkillRecorded", Moment::Recorded, SIGKILL, false },
	Interrupt { "SigkillReporting", Moment::Reporting, SIGKILL, false }),
    ByName());

} // namespace
