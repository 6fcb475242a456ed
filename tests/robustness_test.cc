/*
 * What a daemon that runs for the machine's whole uptime must bear: hostile
 * interface names, many start/stop cycles, many instances, and a storm of
 * signals during its shutdown.
 */

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <set>

#include <gtest/gtest.h>

#include "sandbox.h"

namespace {

/* Stop the daemon and check that it stopped exactly its own two clients. */
void
stop_and_check(const Started &s, const std::string &ifname)
{
	ASSERT_TRUE(send_sigterm(s.daemon));
	EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0") << ifname;
	EXPECT_TRUE(eventually([&] {
		return term_senders(s.v4.pid).size() == 1 &&
		    term_senders(s.v6.pid).size() == 1;
	})) << ifname;
	EXPECT_EQ(term_senders(s.v4.pid), std::vector<pid_t> { s.daemon });
	EXPECT_EQ(term_senders(s.v6.pid), std::vector<pid_t> { s.daemon });
	EXPECT_FALSE(exists(pidfile(ifname)));
}

struct Name {
	const char *name;
	std::string ifname;
	bool recorded; /* whether its PID file can be made */
};

void
PrintTo(const Name &name, std::ostream *os)
{
	*os << name.name;
}

class HostileName : public testing::TestWithParam<Name> { };

TEST_P(HostileName, GetsExactlyTheDesignedOutcome)
{
	in_sandbox({}, [] {
		const Name name = GetParam();
		pid_t bystander = start_bystander();
		setenv("FAKE_DHCLIENT_EXIT_DELAY_MS", "50", 1);

		if (name.recorded) {
			stop_and_check(start_serving(name.ifname), name.ifname);
		} else {
			/* No PID file, so nothing is started. */
			EXPECT_EQ(
			    describe(run_program({ name.ifname })), "exit 1");
			EXPECT_FALSE(exists(pidfile(name.ifname)));
			EXPECT_TRUE(started_clients().empty());
			EXPECT_EQ(
			    processes(), std::vector<pid_t> { bystander });
			EXPECT_TRUE(terms_received().empty());
		}
		EXPECT_EQ(program_stderr(), "");
		EXPECT_EQ(first_term_sender(bystander), 1);
		EXPECT_EQ(list_dir("/var/run/dhclient").size(),
		    name.recorded ? 2u : 0u)
		    << "only the clients' PID files";
	});
}

INSTANTIATE_TEST_SUITE_P(Names, HostileName,
    testing::Values(Name { "WithANewline", "em\n0", true },
	Name { "TwoDots", "..", true },
	Name { "ShellCommand", "em0; rm -rf ~", true },
	Name { "UpAndOut", "../escape", false },
	Name { "IntoAMissingDirectory", "missing/dir", false },
	Name { "LongerThanAFileName", std::string(300, 'x'), false },
	Name { "LongerThanAPath", std::string(5000, 'y'), false }),
    [](const testing::TestParamInfo<Name> &info) { return info.param.name; });

TEST(Soak, TwoHundredStartStopCyclesLeaveNothingBehind)
{
	in_sandbox({}, [] {
		setenv("FAKE_DHCLIENT_EXIT_DELAY_MS", "20", 1);
		for (int cycle = 0; cycle < 200; cycle++) {
			SCOPED_TRACE("cycle " + std::to_string(cycle));
			Started s = start_serving("em0");
			ASSERT_GT(s.v6.pid, 0);
			ASSERT_EQ(fd_targets_at_rest(s.daemon).size(), 8u)
			    << "its standard three, its PID file, its channels "
			       "and its clients' process descriptors";
			stop_and_check(s, "em0");
			ASSERT_TRUE(all_ended());
			if (testing::Test::HasFailure())
				return;
		}
	});
}

/* A field of /proc/PID/status, in kB. */
long
status_kb(pid_t pid, const std::string &field)
{
	std::string status =
	    read_file("/proc/" + std::to_string(pid) + "/status").value_or("");
	size_t at = status.find("\n" + field + ":");
	return at == std::string::npos
	    ? -1
	    : atol(status.c_str() + at + field.size() + 2);
}

/*
 * The IPv4 client goes into the background sixty times, as a client of a
 * long uptime might: each time the daemon finds its old process ended and
 * takes up the new one.
 */
TEST(LongLife, TheDaemonHoldsNoMoreAfterManyChangesThanAfterOne)
{
	in_sandbox({}, [] {
		setenv("FAKE_DHCLIENT_LOCK", "0", 1);
		setenv("FAKE_DHCLIENT_REFORK", "60", 1);
		setenv("FAKE_DHCLIENT_REFORK_GAP_MS", "20", 1);
		setenv("FAKE_DHCLIENT_REFORK_MS", "0", 1);
		Started s = start_serving("em0");
		ASSERT_GT(s.v6.pid, 0);
		auto follows_v4 = [&](pid_t v4) {
			std::vector<pid_t> w = watched_by(s.daemon);
			return v4 != s.v4.pid &&
			    std::count(w.begin(), w.end(), v4) == 1 &&
			    w.size() == 2;
		};
		pid_t first = 0;
		ASSERT_TRUE(eventually([&] {
			first = pid_in(pidfile("em0", "4"));
			return follows_v4(first);
		}));
		std::vector<std::string> fds = fd_targets_at_rest(s.daemon);
		auto memory = [&] {
			std::vector<long> kb;
			for (const char *field :
			    { "VmData", "VmSize", "RssAnon" })
				kb.push_back(status_kb(s.daemon, field));
			return kb;
		};
		std::vector<long> held = memory();

		pid_t last = 0;
		ASSERT_TRUE(eventually(
		    [&] {
			    last = reforked_client();
			    return last != 0 && follows_v4(last);
		    },
		    10000));
		EXPECT_EQ(fd_targets_at_rest(s.daemon), fds);
		/* A sanitizer's run-time has memory of its own. */
#ifndef BISTACK_SANITIZED
		EXPECT_EQ(memory(), held) << "VmData, VmSize, RssAnon in kB";
#else
		(void)held;
#endif
		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_EQ(first_term_sender(last), s.daemon);
	});
}

TEST(Scale, FortyInterfacesAreServedAndStoppedIndependently)
{
	in_sandbox({}, [] {
		setenv("FAKE_DHCLIENT_EXIT_DELAY_MS", "50", 1);
		std::vector<std::string> names;
		std::vector<Started> running;
		for (int i = 0; i < 40; i++) {
			names.push_back("em" + std::to_string(i));
			running.push_back(start_serving(names.back()));
		}
		std::set<pid_t> daemons;
		for (const Started &s : running)
			daemons.insert(s.daemon);
		EXPECT_EQ(daemons.size(), 40u);

		/* Stopped in another order, each by its PID file. */
		for (int i = 39; i >= 0; i -= 2)
			stop_and_check(running[i], names[i]);
		for (int i = 0; i < 40; i += 2)
			stop_and_check(running[i], names[i]);
		EXPECT_EQ(terms_received().size(), 80u);
	});
}

TEST(SignalStorm, ManySigtermsStopEachClientOnce)
{
	in_sandbox({}, [] {
		setenv("FAKE_DHCLIENT_EXIT_DELAY_MS", "50", 1);
		Started s = start_serving("em0");
		for (int i = 0; i < 500 && send_sigterm(s.daemon); i++)
			;
		stop_and_check(s, "em0");
	});
}

} // namespace
