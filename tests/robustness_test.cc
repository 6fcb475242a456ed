/*
 * What a daemon that runs for the machine's whole uptime must bear: hostile
 * interface names, many start/stop cycles, many instances, and a storm of
 * signals during its shutdown.
 */

#include <signal.h>
#include <stdlib.h>
#include <time.h>

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
	Name { "IntoAMissingDirectory", "missing/dir", false }),
    ByName());

/*
 * Two hundred cycles; a quarter of them in a sanitizer build, whose every
 * process start costs many times more.  On a loaded machine, as many as 30
 * seconds allow, ten at the least, so that the run stays well within the
 * sandbox's bound.
 */
#ifdef BISTACK_SANITIZED
const int soak_cycles = 50;
#else
const int soak_cycles = 200;
#endif
const int soak_least = 10;
const long soak_ms = 30000;

TEST(Soak, ManyStartStopCyclesLeaveNothingBehind)
{
	in_sandbox({}, [] {
		setenv("FAKE_DHCLIENT_EXIT_DELAY_MS", "20", 1);
		long start = now_ms();
		for (int cycle = 0; cycle < soak_cycles &&
		     (cycle < soak_least || now_ms() - start < soak_ms);
		     cycle++) {
			SCOPED_TRACE("cycle " + std::to_string(cycle));
			Started s = start_serving("em0");
			ASSERT_GT(s.v6.pid, 0);
			ASSERT_EQ(daemon_fds_at_rest(s.daemon).size(), 7u)
			    << "its standard three, its PID file, its clients' "
			       "process descriptors and its file watch";
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
	std::string value = status_field(pid, field);
	return value.empty() ? -1 : atol(value.c_str());
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
		/*
		 * The started IPv4 client names itself in its file for 20 ms
		 * only: it is known by its start's record instead.
		 */
		Started s;
		ASSERT_EQ(describe(run_program({ "em0" })), "exit 0");
		s.daemon = pid_in(pidfile("em0"));
		ASSERT_GT(s.daemon, 1);
		ASSERT_TRUE(eventually([&] {
			for (const Client &client : started_clients()) {
				bool v4 = client.argv[0] == "/sbin/dhclient";
				(v4 ? s.v4 : s.v6) = client;
			}
			return s.v4.pid > 0 && s.v6.pid > 0;
		}));
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
		std::vector<std::string> fds = daemon_fds_at_rest(s.daemon);
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

/*
 * Where the system will not tell of the clients' files (no inotify to be
 * had), the daemon looks at them: it still takes up each new process the
 * IPv4 client names after going into the background, and stops the last;
 * once the clients have written their files it rests between events.
 */
TEST(LongLife, WithoutFileEventsTheRecordsAreLookedFor)
{
	in_sandbox({}, [] {
		preload(NO_INOTIFY_PATH);
		setenv("FAKE_DHCLIENT_LOCK", "0", 1);
		setenv("FAKE_DHCLIENT_REFORK", "2", 1);
		setenv("FAKE_DHCLIENT_REFORK_GAP_MS", "300", 1);
		setenv("FAKE_DHCLIENT_REFORK_MS", "100", 1);
		Started s = start_serving("em0");
		ASSERT_GT(s.v6.pid, 0);
		pid_t last = 0;
		ASSERT_TRUE(eventually([&] {
			last = reforked_client();
			std::vector<pid_t> w = watched_by(s.daemon);
			return last != 0 &&
			    pid_in(pidfile("em0", "4")) == last &&
			    std::count(w.begin(), w.end(), last) == 1;
		}));
		std::vector<std::string> fds = daemon_fds_at_rest(s.daemon);
		EXPECT_EQ(std::count(fds.begin(), fds.end(), "pidfd"), 2)
		    << testing::PrintToString(fds);
		EXPECT_EQ(fds.size(), 6u) << "no file watch";
		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_EQ(term_senders(last), std::vector<pid_t> { s.daemon });
		EXPECT_TRUE(all_ended());
	});
}

/* The CPU time (in clock ticks) and wake-ups a process has had so far. */
struct Effort {
	long ticks, wakeups;
};

Effort
effort(pid_t pid)
{
	std::vector<std::string> fields = stat_fields(pid);
	long ticks = fields.size() > 12
	    ? atol(fields[11].c_str()) + atol(fields[12].c_str())
	    : -1;
	return { ticks, status_kb(pid, "voluntary_ctxt_switches") };
}

/*
 * In a client's first second the daemon looks at its file every 2 ms until
 * the client has written it (a file written and removed between two looks
 * would go unseen); after that, or once the client has written it, it
 * sleeps until something happens.  Measured over the first second and a
 * quarter (at most one look a tick, and no spin) and the second after
 * (no looks at all), with clients that write at once and clients that
 * never do (as the ISC client kept in the foreground without a lease).
 */
class FirstSecond : public testing::TestWithParam<bool> { };

TEST_P(FirstSecond, TheDaemonLooksAtMostEveryTickAndThenSleeps)
{
	in_sandbox({}, [] {
		const bool writes = GetParam();
		if (!writes)
			setenv("FAKE_DHCLIENT_NO_PIDFILE", "1", 1);
		Started s = start_serving("em0");
		ASSERT_GT(s.v6.pid, 0);
		Effort start = effort(s.daemon);
		nap(1250);
		Effort first = effort(s.daemon);
		nap(1000);
		Effort after = effort(s.daemon);

		EXPECT_LE(first.wakeups - start.wakeups, writes ? 10 : 650);
		EXPECT_LE(first.ticks - start.ticks, 10) << "clock ticks";
		EXPECT_LE(after.wakeups - first.wakeups, 1);
		EXPECT_LE(after.ticks - first.ticks, 1) << "clock ticks";
		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
	});
}

INSTANTIATE_TEST_SUITE_P(Idle, FirstSecond, testing::Bool(),
    [](const testing::TestParamInfo<bool> &info) {
	    return info.param ? "ClientsThatWriteAtOnce"
			      : "ClientsThatNeverWrite";
    });

/*
 * During a stop of a client that has recorded nothing and is slow to end,
 * the daemon looks for its children again and again: it holds nothing
 * more for it afterwards than before.
 */
TEST(Stop, LookingForAClientsChildrenHoldsOnToNothing)
{
	in_sandbox({}, [] {
		setenv("FAKE_DHCLIENT_NO_PIDFILE", "1", 1);
		setenv("FAKE_DHCLIENT_EXIT_DELAY_MS", "1500", 1);
		Started s = start_serving("em0");
		ASSERT_GT(s.v6.pid, 0);
		std::vector<std::string> fds = daemon_fds_at_rest(s.daemon);

		ASSERT_TRUE(send_sigterm(s.daemon));
		ASSERT_TRUE(eventually(
		    [&] { return term_senders(s.v4.pid).size() == 1; }));
		nap(100);
		EXPECT_EQ(fd_targets_at_rest(s.daemon), fds);
		nap(500);
		EXPECT_EQ(fd_targets_at_rest(s.daemon), fds);
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
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
