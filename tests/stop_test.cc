/*
 * What a stop reaches, in what order, and when it is done: each live
 * process of the IPv4 client, then each of the IPv6 client, once; only
 * processes named exactly dhclient; and the daemon's own file last.  The
 * daemon is traced through the stop, so that the signals it sends are
 * seen as sent, not as the clients happen to record them.
 */

#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include <gtest/gtest.h>

#include "sandbox.h"

namespace {

/* The daemon's signals through a stop that act asks for. */
std::vector<Sent>
stop_traced(pid_t daemon, const std::function<void()> &act)
{
	int status;
	std::vector<Sent> sent = signals_sent(daemon, act, &status);
	EXPECT_EQ(describe(status), "exit 0");
	EXPECT_FALSE(exists(pidfile("em0")));
	return sent;
}

std::string
name_of(pid_t pid)
{
	std::string comm =
	    read_file("/proc/" + std::to_string(pid) + "/comm").value_or("");
	return comm.substr(0, comm.find('\n'));
}

/* The children of pid, by their command names. */
std::multiset<std::string>
children_of(pid_t pid)
{
	std::multiset<std::string> names;
	for (pid_t child : processes()) {
		std::vector<std::string> fields = stat_fields(child);
		if (fields.size() > 1 && atoi(fields[1].c_str()) == pid)
			names.insert(name_of(child));
	}
	return names;
}

/*
 * The clients record their PIDs, or go into the background and record
 * their new ones; SIGTERM comes once, or in a storm.
 */
struct Stop {
	const char *name;
	bool background;
	int sigterms;
};

void
PrintTo(const Stop &s, std::ostream *os)
{
	*os << s.name;
}

class WhatAStopSignals : public testing::TestWithParam<Stop> { };

TEST_P(WhatAStopSignals, IsTheIPv4ClientThenTheIPv6ClientEachOnce)
{
	in_sandbox({}, [] {
		const Stop stop = GetParam();
		without_leak_check();
		if (stop.background)
			setenv("FAKE_DHCLIENT_BACKGROUND", "1", 1);
		Started s = start_following_records("em0");
		pid_t daemon = s.daemon, v4 = s.v4.pid, v6 = s.v6.pid;
		ASSERT_GT(daemon, 1);

		std::vector<Sent> sent = stop_traced(daemon, [&] {
			for (int i = 0; i < stop.sigterms; i++)
				send_sigterm(daemon);
		});
		ASSERT_EQ(sent.size(), 2u);
		EXPECT_EQ(sent[0].to, v4);
		EXPECT_EQ(sent[1].to, v6);
		for (const Sent &one : sent)
			EXPECT_EQ(one.sig, SIGTERM);
	});
}

INSTANTIATE_TEST_SUITE_P(Stop, WhatAStopSignals,
    testing::Values(Stop { "ClientsAsStarted", false, 1 },
	Stop { "ClientsInTheBackground", true, 1 },
	Stop { "AStormOfSigterms", false, 200 }),
    ByName());

/*
 * What the IPv4 client's file names at the stop, instead of its client: a
 * process of a name like the clients' but not theirs, a dhclient of no
 * interface's (the test's own), or another interface's client.  None is
 * provably em0's IPv4 client, and none is signalled.
 */
struct Name {
	const char *name;
	std::string comm; /* "" for em1's IPv4 client */
};

void
PrintTo(const Name &n, std::ostream *os)
{
	*os << n.name;
}

class ARecordNaming : public testing::TestWithParam<Name> { };

TEST_P(ARecordNaming, IsNeverSignalledUnlessItIsProvablyTheClient)
{
	in_sandbox({}, [] {
		const Name n = GetParam();
		without_leak_check();
		Started s = start_serving("em0");
		ASSERT_GT(s.v6.pid, 0);
		pid_t other = n.comm.empty() ? start_serving("em1").v4.pid
					     : start_bystander(n.comm);
		ASSERT_GT(other, 1);
		ASSERT_EQ(name_of(other), n.comm.empty() ? "dhclient" : n.comm);
		write_file(pidfile("em0", "4"), std::to_string(other) + "\n");

		std::vector<Sent> sent =
		    stop_traced(s.daemon, [&] { send_sigterm(s.daemon); });
		std::vector<pid_t> to;
		for (const Sent &one : sent)
			to.push_back(one.to);
		EXPECT_EQ(to, (std::vector<pid_t> { s.v4.pid, s.v6.pid }));
		EXPECT_TRUE(alive(other));
	});
}

INSTANTIATE_TEST_SUITE_P(Stop, ARecordNaming,
    testing::Values(Name { "ADhclientOfNoInterface", "dhclient" },
	Name { "AnotherInterfacesClient", "" },
	Name { "DhclientScript", "dhclient-script" },
	Name { "DhclientX", "dhclientX" },
	Name { "WithAParenthesisAndASpace", "dhclient) x" },
	Name { "WithASpace", "dh client" }),
    ByName());

/*
 * The IPv4 client records nothing and works in children of its process,
 * as the ISC client kept in the foreground does: those named exactly
 * dhclient are its, however many, and no other.  More than the daemon has
 * room to watch at once are reached as room is made, the started process
 * last, while they are still its children.
 */
struct Children {
	const char *name;
	std::vector<std::string> comms;
};

void
PrintTo(const Children &c, std::ostream *os)
{
	*os << c.name;
}

class ChildrenNamed : public testing::TestWithParam<Children> { };

TEST_P(ChildrenNamed, AreSignalledOnlyIfTheyAreDhclients)
{
	in_sandbox({}, [] {
		const Children c = GetParam();
		without_leak_check();
		std::string programs;
		for (const std::string &comm : c.comms)
			programs +=
			    (programs.empty() ? "" : ":") + named_program(comm);
		setenv("FAKE_DHCLIENT_CHILDREN", programs.c_str(), 1);
		setenv("FAKE_DHCLIENT_NO_PIDFILE", "1", 1);
		Started s = start_serving("em0");
		ASSERT_GT(s.v6.pid, 0);
		std::multiset<std::string> all(c.comms.begin(), c.comms.end());
		ASSERT_TRUE(
		    eventually([&] { return children_of(s.v4.pid) == all; }));
		std::set<pid_t> children;
		for (pid_t pid : processes()) {
			std::vector<std::string> fields = stat_fields(pid);
			if (fields.size() > 1 &&
			    atoi(fields[1].c_str()) == s.v4.pid)
				children.insert(pid);
		}

		std::vector<Sent> sent =
		    stop_traced(s.daemon, [&] { send_sigterm(s.daemon); });
		ASSERT_FALSE(sent.empty());
		EXPECT_TRUE(children.count(sent.front().to) != 0)
		    << "the IPv4 client first, its children before its process";
		std::multiset<std::string> reached;
		std::multiset<pid_t> to;
		for (const Sent &one : sent) {
			to.insert(one.to);
			if (children.count(one.to) != 0)
				reached.insert(name_of(one.to));
		}
		EXPECT_EQ(to.count(s.v4.pid), 1u);
		EXPECT_EQ(to.count(s.v6.pid), 1u);
		EXPECT_EQ(reached.size() + 2, sent.size()) << "each once";
		EXPECT_EQ(reached,
		    std::multiset<std::string>(all.lower_bound("dhclient"),
			all.upper_bound("dhclient")));
		if (reached.size() <= 14) {
			EXPECT_EQ(sent.back().to, s.v6.pid)
			    << "the IPv6 client last";
		}
		std::vector<pid_t> others;
		for (pid_t child : children)
			if (to.count(child) == 0)
				others.push_back(child);
		EXPECT_TRUE(all_ended(others)) << "a dhclient was left running";
	});
}

INSTANTIATE_TEST_SUITE_P(Stop, ChildrenNamed,
    testing::Values(Children { "NamedLikeIt",
			{ "dhclient", "dhclient-script", "dhclientX",
			    "dhclient) x", "dh client" } },
	Children {
	    "FourteenDhclients", std::vector<std::string>(14, "dhclient") },
	Children {
	    "TwentyDhclients", std::vector<std::string>(20, "dhclient") }),
    ByName());

/*
 * What the IPv4 client does as its SIGTERM comes, before it ends a moment
 * later: it starts another dhclient child, having recorded nothing (as the
 * ISC client in the foreground); or it forks a process that records itself
 * in its file.  The stop reaches that one too, and ends once it has ended.
 * There is no IPv6 client, whose end would make the daemon look again.
 */
class AsItIsStopped : public testing::TestWithParam<std::string> { };

TEST_P(AsItIsStopped, WhatTheClientStartsIsReachedToo)
{
	SandboxSetup setup;
	setup.v6_client = nullptr;
	in_sandbox(setup, [] {
		const std::string what = GetParam();
		setenv("FAKE_DHCLIENT_ON_TERM", what.c_str(), 1);
		setenv("FAKE_DHCLIENT_EXIT_DELAY_MS", "300", 1);
		if (what == "child")
			setenv("FAKE_DHCLIENT_NO_PIDFILE", "1", 1);
		ASSERT_EQ(describe(run_program({ "em0" })), "exit 0");
		pid_t daemon = pid_in(pidfile("em0"));
		ASSERT_GT(daemon, 1);
		ASSERT_TRUE(
		    eventually([] { return started_clients().size() == 1; }));
		/*
		 * Past the client's first second, in which the daemon looks at
		 * it every tick anyway: nothing but the stop's own looks can
		 * find the new process then.
		 */
		struct timespec first_second = { 1, 100 * 1000 * 1000 };
		nanosleep(&first_second, nullptr);

		ASSERT_TRUE(send_sigterm(daemon));
		/* Its status says whether that was within the stop's bound. */
		EXPECT_EQ(
		    describe(wait_exit(daemon, 2 * stop_wait_ms)), "exit 0");
		std::vector<std::pair<pid_t, pid_t>> terms = terms_received();
		EXPECT_EQ(terms.size(), 2u)
		    << "the client, and its new process";
		for (const auto &term : terms)
			EXPECT_EQ(term.second, daemon) << "to " << term.first;
		EXPECT_TRUE(all_ended());
	});
}

INSTANTIATE_TEST_SUITE_P(Stop, AsItIsStopped,
    testing::Values("child", "record"),
    [](const testing::TestParamInfo<std::string> &info) {
	    return info.param == "child" ? "StartsAnotherDhclient"
					 : "ForksAProcessThatRecordsItself";
    });

/* The daemon's file names it as long as any of its clients runs. */
TEST(Stop, TheDaemonsFileIsRemovedOnlyOnceItsClientsHaveEnded)
{
	in_sandbox({}, [] {
		setenv("FAKE_DHCLIENT_EXIT_DELAY_MS", "300", 1);
		Started s = start_serving("em0");
		ASSERT_GT(s.v6.pid, 0);

		ASSERT_TRUE(send_sigterm(s.daemon));
		int early = 0;
		EXPECT_TRUE(eventually([&] {
			/*
			 * The file first: a client that runs after the file
			 * was seen gone already ran when it was seen gone.
			 */
			bool named = pid_in(pidfile("em0")) == s.daemon;
			bool running = alive(s.v4.pid) || alive(s.v6.pid);
			early += running && !named;
			return !running && !alive(s.daemon);
		}));
		EXPECT_EQ(early, 0) << "removed while a client still ran";
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_FALSE(exists(pidfile("em0")));
	});
}

/*
 * A second client of one family started by hand for the interface, while
 * the first runs in the background: it records its PID over the first's,
 * which the daemon still knows.  The stop reaches both.
 */
class ASecondClient : public testing::TestWithParam<bool> { };

TEST_P(ASecondClient, StartedByHandIsStoppedWithTheFirst)
{
	const bool v4 = GetParam();
	in_sandbox({}, [&] {
		without_leak_check();
		/* Each records after its first process has ended. */
		slow_clock(timed_slower);
		setenv("FAKE_DHCLIENT_BACKGROUND", "1", 1);
		Started s = start_following_records("em0");
		ASSERT_GT(s.daemon, 1);
		pid_t first = v4 ? s.v4.pid : s.v6.pid;

		unsetenv("FAKE_DHCLIENT_BACKGROUND");
		std::vector<std::string> args = v4
		    ? std::vector<std::string> { "/sbin/dhclient", "-p",
			      pidfile("em0", "4"), "em0" }
		    : std::vector<std::string> { "/usr/local/sbin/dhclient",
			      "-6", "-nw", "-cf", "/dev/null", "-pf",
			      pidfile("em0", "6"), "em0" };
		pid_t second = fork();
		if (second == 0) {
			std::vector<char *> argv;
			for (std::string &arg : args)
				argv.push_back(arg.data());
			argv.push_back(nullptr);
			execv(argv[0], argv.data());
			_exit(127);
		}
		ASSERT_TRUE(eventually([&] {
			return pid_in(pidfile("em0", v4 ? "4" : "6")) == second;
		}));

		std::vector<Sent> sent =
		    stop_traced(s.daemon, [&] { send_sigterm(s.daemon); });
		std::multiset<pid_t> to;
		for (const Sent &one : sent)
			to.insert(one.to);
		EXPECT_EQ(to.count(first), 1u);
		EXPECT_EQ(to.count(second), 1u);
		EXPECT_TRUE(all_ended()) << "a client was left running";
	});
}

INSTANTIATE_TEST_SUITE_P(Stop, ASecondClient, testing::Bool(),
    [](const testing::TestParamInfo<bool> &info) {
	    return info.param ? "IPv4" : "IPv6";
    });

} // namespace
