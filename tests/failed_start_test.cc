/*
 * A start that fails half-way, after a client was started: the command
 * exits 1, and leaves nothing running and no PID file behind.
 */

#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include "sandbox.h"

namespace {

/* The nth fork of the starting process fails. */
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
			setenv("LD_PRELOAD", FAIL_FORK_PATH, 1);
			setenv("FAIL_FORK", nth.c_str(), 1);
			/* A sanitizer build's run-time may come second. */
			const char *asan = getenv("ASAN_OPTIONS");
			setenv("ASAN_OPTIONS",
			    (std::string(asan != nullptr ? asan : "") +
				":verify_asan_link_order=0")
				.c_str(),
			    1);
		};
		EXPECT_EQ(describe(run_program({ "em0" }, opts)), "exit 1");
		EXPECT_EQ(program_stderr(), "");
		EXPECT_FALSE(exists(pidfile("em0")));
		EXPECT_TRUE(all_ended()) << "a client was left running";
	});
}

INSTANTIATE_TEST_SUITE_P(FailedStart, FailedFork,
    testing::Values(Fork { "OfTheIPv4Client", 1 },
	Fork { "OfTheIPv6Client", 2 }, Fork { "OfTheDaemon", 3 }),
    [](const testing::TestParamInfo<Fork> &info) { return info.param.name; });

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

} // namespace
