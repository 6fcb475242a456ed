/*
 * The IPv6 client is kept running while the IPv4 client runs: whenever it
 * ends, the daemon starts it again exactly as the first time, after a
 * pause of 1 s, doubling while it keeps ending within a minute; never
 * during a stop, and never after the IPv4 client's end.
 */

#include <sys/stat.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include <gtest/gtest.h>

#include "sandbox.h"

namespace {

/* The IPv6 clients started so far, in order. */
std::vector<Client>
v6_clients()
{
	std::vector<Client> v6;
	for (const Client &client : started_clients())
		if (client.argv[0] == "/usr/local/sbin/dhclient")
			v6.push_back(client);
	return v6;
}

/* Whether em0's link-local address is usable. */
bool
link_local_usable()
{
	return shell("ip -6 addr show dev em0 scope link | "
		     "grep -q 'scope link $'");
}

/*
 * em0, one end of a veth pair whose other end is up, with its link-local
 * address usable; with duplicate address detection on it, or not.
 */
bool
em0_with_link_local(bool dad)
{
	return shell(std::string("ip link add em0 type veth peer name peer0 "
				 "&& echo ") +
		   (dad ? "1" : "0") +
		   " >/proc/sys/net/ipv6/conf/em0/accept_dad && ip link "
		   "set peer0 up && ip link set em0 up") &&
	    eventually(link_local_usable, 10000);
}

/*
 * The daemon's children that have ended and not been reaped (zombies), or
 * that are alive.
 */
std::vector<pid_t>
children_of(pid_t daemon, bool zombies)
{
	std::vector<pid_t> children;
	for (pid_t pid : processes()) {
		std::vector<std::string> fields = stat_fields(pid);
		if (fields.size() > 1 && (fields[0] == "Z") == zombies &&
		    atoi(fields[1].c_str()) == daemon)
			children.push_back(pid);
	}
	return children;
}

/*
 * Killed twice, the IPv6 client is started again each time with the same
 * command line, the caller's ignored signals and none blocked, and only
 * /dev/null as standard input, output and error; after 1 s, then 2 s
 * (it had run less than a minute).  The IPv4 client is never touched, and
 * the stop ends the newest IPv6 client.
 */
TEST(KeepIPv6, ItIsStartedAgainAsTheFirstTimeAfterAPause)
{
	in_sandbox({}, [] {
		without_leak_check();
		setenv("FAKE_DHCLIENT_DEFAULT_TERM", "1", 1);
		RunOptions opts;
		opts.before_exec = [] {
			sigset_t usr1;
			sigemptyset(&usr1);
			sigaddset(&usr1, SIGUSR1);
			sigprocmask(SIG_BLOCK, &usr1, nullptr);
			signal(SIGHUP, SIG_IGN);
			signal(SIGINT, SIG_IGN);
		};
		ASSERT_EQ(describe(wait_exit(start_program({ "em0" }, opts))),
		    "exit 0");
		pid_t daemon = pid_in(pidfile("em0"));
		ASSERT_GT(daemon, 1);
		ASSERT_TRUE(eventually([] {
			return v6_clients().size() == 1 &&
			    started_clients().size() == 2;
		}));
		Client first = v6_clients()[0];
		pid_t v4 = 0;
		for (const Client &client : started_clients())
			if (client.argv[0] == "/sbin/dhclient")
				v4 = client.pid;
		std::string ignored = status_field(first.pid, "SigIgn");
		std::vector<std::string> held = daemon_fds_at_rest(daemon);

		for (long pause_ms :
		    { (long)first_pause_ms, 2L * first_pause_ms }) {
			SCOPED_TRACE("pause " + std::to_string(pause_ms));
			pid_t last = v6_clients().back().pid;
			long start = now_ms();
			ASSERT_EQ(kill(last, SIGKILL), 0);
			/*
			 * Timed to the daemon's fork: what the new process
			 * then takes to start is not the daemon's.
			 */
			std::vector<pid_t> forked;
			ASSERT_TRUE(eventually(
			    [&] {
				    forked = children_of(daemon, false);
				    for (pid_t known : { last, v4 })
					    forked.erase(
						std::remove(forked.begin(),
						    forked.end(), known),
						forked.end());
				    return !forked.empty();
			    },
			    (int)(pause_ms + 2000)));
			long took = now_ms() - start;
			/*
			 * It may yet record a new process: a quarter second;
			 * and the pause, not the next one (the schedule to the
			 * millisecond is the client machine's table).
			 */
			EXPECT_GE(took, pause_ms + record_wait_ms);
			EXPECT_LT(took, 2 * pause_ms + record_wait_ms);
			ASSERT_TRUE(eventually(
			    [&] { return v6_clients().back().pid != last; }));

			Client again = v6_clients().back();
			EXPECT_EQ(std::vector<pid_t> { again.pid }, forked);
			EXPECT_EQ(again.argv, first.argv);
			EXPECT_EQ(status_field(again.pid, "SigIgn"), ignored);
			EXPECT_EQ(status_field(again.pid, "SigBlk"),
			    "0000000000000000");
			ASSERT_TRUE(eventually([&] {
				return pid_in(pidfile("em0", "6")) == again.pid;
			}));
			EXPECT_EQ(fd_targets_at_rest(again.pid),
			    std::vector<std::string>(3, "/dev/null"));
		}
		EXPECT_TRUE(alive(v4));
		EXPECT_TRUE(terms_received().empty());
		EXPECT_EQ(v6_clients().size(), 3u);
		/* Each restart's channel and watch went with its client. */
		EXPECT_EQ(fd_targets_at_rest(daemon), held);

		pid_t newest = v6_clients().back().pid;
		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
		/* The newest is the daemon's child, and was reaped by it. */
		EXPECT_EQ(describe(wait_exit(v4)), "signal 15");
		EXPECT_FALSE(alive(newest));
		EXPECT_TRUE(all_ended());
	});
}

/*
 * An IPv6 client that fails at once every time is tried again at 1, 3, 7
 * s...: a few times in 10 s, for little of the daemon's time, and none of
 * the processes it started is left unreaped (the last ended seconds ago).
 */
TEST(KeepIPv6, OneThatFailsAtOnceIsTriedLessAndLessOften)
{
	in_sandbox({}, [] {
		setenv("FAKE_DHCLIENT_FAIL", "6", 1);
		ASSERT_EQ(describe(run_program({ "em0" })), "exit 0");
		pid_t daemon = pid_in(pidfile("em0"));
		ASSERT_GT(daemon, 1);
		/* Ten seconds, unless it tries too often. */
		size_t tries = 0;
		eventually(
		    [&] {
			    tries = v6_clients().size();
			    return tries > 6;
		    },
		    10000);
		EXPECT_GE(tries, 2u);
		EXPECT_LE(tries, 6u);
		std::vector<std::string> fields = stat_fields(daemon);
		ASSERT_GT(fields.size(), 12u);
		EXPECT_LT(
		    atol(fields[11].c_str()) + atol(fields[12].c_str()), 20)
		    << "clock ticks of CPU";
		EXPECT_TRUE(children_of(daemon, true).empty());
		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
	});
}

/*
 * A missing IPv6 client keeps being tried, silently but for the first
 * try's "Failed to spawn", and starts once it is installed.
 */
TEST(KeepIPv6, AMissingClientIsTriedUntilItIsThere)
{
	SandboxSetup setup;
	setup.v6_client = nullptr;
	in_sandbox(setup, [] {
		ASSERT_EQ(describe(run_program({ "em0" })), "exit 0");
		pid_t daemon = pid_in(pidfile("em0"));
		ASSERT_GT(daemon, 1);
		ASSERT_TRUE(
		    eventually([] { return started_clients().size() == 1; }));
		/* Past the first try again, 1 s after the first. */
		struct timespec tries = { 2, 0 };
		nanosleep(&tries, nullptr);
		EXPECT_TRUE(v6_clients().empty());
		ASSERT_TRUE(shell(std::string("cp ") + FAKE_DHCLIENT_PATH +
		    " /usr/local/sbin/dhclient.new && mv "
		    "/usr/local/sbin/dhclient.new /usr/local/sbin/dhclient"));
		/* The next try is 4 s after the second, at the latest. */
		EXPECT_TRUE(eventually([] { return v6_clients().size() == 1; },
		    4000 + (int)prompt_ms));
		EXPECT_EQ(program_stderr(),
		    "Failed to spawn /usr/local/sbin/dhclient\n");
		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
		EXPECT_TRUE(all_ended());
	});
}

/*
 * An IPv6 client whose background process records itself only after the
 * first process's end and the record window (a loaded machine's delay): it
 * has been paused by then, and the late record is taken for it.  No second
 * IPv6 client is started beside it when the pause is over, and the stop
 * ends it.
 */
TEST(KeepIPv6, ARecordMadeDuringThePauseIsTheClientsOwn)
{
	in_sandbox({}, [] {
		without_leak_check();
		slow_clock(timed_slower);
		const long late_ms = record_wait_ms + first_pause_ms / 2;
		setenv("FAKE_DHCLIENT_LATE6_MS",
		    std::to_string(late_ms).c_str(), 1);
		ASSERT_EQ(describe(run_program({ "em0" })), "exit 0");
		pid_t daemon = pid_in(pidfile("em0"));
		ASSERT_GT(daemon, 1);
		pid_t v4 = 0, v6 = 0;
		ASSERT_TRUE(eventually(
		    [&] {
			    v4 = pid_in(pidfile("em0", "4"));
			    v6 = pid_in(pidfile("em0", "6"));
			    return v4 > 0 && v6 > 0 &&
				watched_by(daemon) ==
				std::vector<pid_t> { std::min(v4, v6),
					std::max(v4, v6) };
		    },
		    slowed(late_ms + 1000)));
		/* Past the pause's end. */
		nap(first_pause_ms - late_ms + record_wait_ms + 100);
		EXPECT_EQ(v6_clients().size(), 1u);
		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(describe(wait_exit(daemon, slowed(1000))), "exit 0");
		EXPECT_EQ(first_term_sender(v6), daemon);
		EXPECT_TRUE(all_ended());
	});
}

/*
 * Kill the IPv6 client of s, and wait until the daemon has paused it: past
 * its record window (the daemon then watches the IPv4 client alone), well
 * before its pause of 1 s is over.
 */
bool
ended_into_its_pause(const Started &s)
{
	if (s.v6.pid <= 0 || kill(s.v6.pid, SIGKILL) != 0 || !eventually([&] {
		    return watched_by(s.daemon) ==
			std::vector<pid_t> { s.v4.pid };
	    }))
		return false;
	nap(record_wait_ms + 100);
	return true;
}

/*
 * The IPv6 client has ended, and the daemon waits to start it again, when
 * the stop comes, or the IPv4 client ends: the daemon ends as soon as it
 * can tell (at once, after the record window, or once the IPv4 client's
 * lock holder has let go, past the end of the pause), and starts no IPv6
 * client any more: not while the IPv4 client settles either.
 */
struct PauseCase {
	const char *name;
	bool stop; /* or the IPv4 client's end */
	const char *lock_ms; /* FAKE_DHCLIENT_LOCK, or nullptr */
	long wait_ms; /* until the daemon can tell */
};

void
PrintTo(const PauseCase &c, std::ostream *os)
{
	*os << c.name;
}

class DuringThePause : public testing::TestWithParam<PauseCase> { };

TEST_P(DuringThePause, TheDaemonEndsAtOnceAndStartsNothing)
{
	const PauseCase c = GetParam();
	in_sandbox({}, [&] {
		without_leak_check();
		slow_clock(timed_slower);
		if (c.lock_ms != nullptr)
			setenv("FAKE_DHCLIENT_LOCK", c.lock_ms, 1);
		Started s = start_serving("em0");
		ASSERT_TRUE(ended_into_its_pause(s));

		long start = program_ms();
		if (c.stop)
			ASSERT_TRUE(send_sigterm(s.daemon));
		else
			ASSERT_EQ(kill(s.v4.pid, SIGKILL), 0);
		EXPECT_EQ(describe(wait_exit(
			      s.daemon, slowed(c.wait_ms + prompt_ms))),
		    "exit 0");
		EXPECT_GE(program_ms() - start, c.wait_ms);
		EXPECT_FALSE(exists(pidfile("em0")));
		/* Nothing is left that could start one later. */
		EXPECT_TRUE(all_ended());
		EXPECT_EQ(v6_clients().size(), 1u);
	});
}

INSTANTIATE_TEST_SUITE_P(KeepIPv6, DuringThePause,
    testing::Values(PauseCase { "Stop", true, nullptr, 0 },
	PauseCase { "IPv4ClientEnds", false, nullptr, record_wait_ms },
	PauseCase { "IPv4ClientSettlesPastThePause", false, "1000", 1000 }),
    ByName());

/*
 * A stop signal that the daemon takes in the same wake-up as the end of
 * the IPv6 client's pause (it was stopped, by SIGSTOP, across both) is
 * acted on first: no IPv6 client is started during the stop, and the stop
 * is prompt.
 */
TEST(KeepIPv6, AStopTakenWithThePausesEndStartsNothing)
{
	if (access("/proc/sys/net/ipv6", F_OK) != 0)
		GTEST_SKIP() << "no IPv6 here";
	in_sandbox({}, [] {
		slow_clock(timed_slower);
		/* A client started then would run at once. */
		ASSERT_TRUE(em0_with_link_local(true));
		Started s = start_serving("em0");
		ASSERT_TRUE(ended_into_its_pause(s));
		ASSERT_EQ(kill(s.daemon, SIGSTOP), 0);
		ASSERT_TRUE(eventually([&] {
			std::vector<std::string> stat = stat_fields(s.daemon);
			return !stat.empty() && stat[0] == "T";
		}));
		/* Past the pause's end while it cannot tell. */
		nap(first_pause_ms);
		ASSERT_TRUE(send_sigterm(s.daemon));
		long start = program_ms();
		ASSERT_EQ(kill(s.daemon, SIGCONT), 0);
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		/*
		 * A client started then, and stopped before it could record,
		 * would hold the daemon for a record's window.
		 */
		EXPECT_LT(program_ms() - start, record_wait_ms);
		EXPECT_EQ(v6_clients().size(), 1u);
		EXPECT_TRUE(all_ended());
	});
}

/*
 * Started again while em0 has no usable link-local address (it was
 * removed, and comes back late, through duplicate address detection), the
 * IPv6 client waits for it as at boot: it starts only once the address is
 * usable.
 */
TEST(KeepIPv6, AClientStartedAgainWaitsForALateLinkLocalAddress)
{
	if (access("/proc/sys/net/ipv6", F_OK) != 0)
		GTEST_SKIP() << "no IPv6 here";
	in_sandbox({}, [] {
		const std::string conf = "/proc/sys/net/ipv6/conf/em0/";
		ASSERT_TRUE(em0_with_link_local(true));
		Started s = start_serving("em0");
		ASSERT_GT(s.v6.pid, 0);

		ASSERT_TRUE(shell("ip addr flush dev em0 scope link"));
		ASSERT_EQ(kill(s.v6.pid, SIGKILL), 0);
		/* Past its pause: the new process waits. */
		struct timespec pause = { 2, 0 };
		nanosleep(&pause, nullptr);
		EXPECT_EQ(v6_clients().size(), 1u);
		ASSERT_TRUE(shell("echo 2 >" + conf +
		    "dad_transmits && ip addr add fe80::5/64 dev em0"));
		bool early = false;
		EXPECT_TRUE(eventually(
		    [&] {
			    bool started = v6_clients().size() == 2;
			    early |= started && !link_local_usable();
			    return started;
		    },
		    10000));
		EXPECT_FALSE(early) << "started before the address was usable";
		EXPECT_EQ(v6_clients().back().argv, v6_clients()[0].argv);
		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_TRUE(all_ended());
	});
}

/*
 * The minute's run after which the pause goes back to 1 s is counted from
 * the client's exec, not from its process's start: a process that waited
 * for its link-local address (here a minute, as the daemon's clock has it)
 * and then ran a moment has not run a minute, and the next pause doubles.
 */
TEST(KeepIPv6, ItsRunIsCountedFromItsExecNotItsWait)
{
	if (access("/proc/sys/net/ipv6", F_OK) != 0)
		GTEST_SKIP() << "no IPv6 here";
	in_sandbox({}, [] {
		without_leak_check();
		const std::string offset = "/run/test/clock-offset";
		const std::string conf = "/proc/sys/net/ipv6/conf/em0/";
		ASSERT_TRUE(shell("mkdir -p /run/test"));
		setenv("CLOCK_OFFSET_FILE", offset.c_str(), 1);
		preload(TEST_CLOCK_PATH);
		ASSERT_TRUE(em0_with_link_local(false));
		Started s = start_serving("em0");
		ASSERT_GT(s.v6.pid, 0);

		/* Its first pause is 1 s; the next process waits. */
		ASSERT_TRUE(shell("ip addr flush dev em0 scope link"));
		ASSERT_EQ(kill(s.v6.pid, SIGKILL), 0);
		std::vector<pid_t> waiting;
		ASSERT_TRUE(eventually([&] {
			waiting = children_of(s.daemon, false);
			waiting.erase(std::remove(waiting.begin(),
					  waiting.end(), s.v4.pid),
			    waiting.end());
			return waiting.size() == 1 && waiting[0] != s.v6.pid;
		}));
		write_file(offset, std::to_string(ran_long_ms + 1000));
		ASSERT_TRUE(shell("ip addr add fe80::5/64 dev em0"));
		ASSERT_TRUE(eventually(
		    [&] { return pid_in(pidfile("em0", "6")) == waiting[0]; }));

		long start = now_ms();
		ASSERT_EQ(kill(waiting[0], SIGKILL), 0);
		pid_t again = 0;
		ASSERT_TRUE(eventually(
		    [&] {
			    for (pid_t pid : children_of(s.daemon, false))
				    if (pid != s.v4.pid && pid != waiting[0])
					    again = pid;
			    return again != 0;
		    },
		    5000));
		long took = now_ms() - start;
		/*
		 * Doubled once, not twice: the schedule to the millisecond is
		 * the client machine's (its table), this is its clock's start.
		 */
		EXPECT_GE(took, 2 * first_pause_ms + record_wait_ms)
		    << "not doubled";
		EXPECT_LT(took, 4 * first_pause_ms + record_wait_ms);
		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_TRUE(all_ended());
	});
}

} // namespace
