/*
 * A daemon killed without its stop (kill -9, the out-of-memory killer, a
 * crash) leaves its clients running.  The next start takes the interface
 * back: it ends what the clients' files name, where that is provably this
 * interface's client, before it starts its own, so that exactly one pair
 * serves the interface; and it never signals anything else.
 */

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sandbox.h"

namespace {

/* The live stand-in clients of ifname, by their paths. */
std::vector<Client>
live_clients(const std::string &ifname)
{
	std::vector<Client> live;
	for (const Client &client : started_clients())
		if (client.argv.back() == ifname && alive(client.pid))
			live.push_back(client);
	return live;
}

/*
 * Three crashes in a row, with clients that do not lock their files, as
 * the ISC client, and with an IPv4 client that does, through a helper
 * that outlives it a moment, as the base client; each started by rc's
 * options, as on a host that sets them, or without.
 */
struct Crashes {
	const char *name;
	const char *lock; /* FAKE_DHCLIENT_LOCK, or nullptr */
	std::vector<std::string> options;
};

void
PrintTo(const Crashes &crashes, std::ostream *os)
{
	*os << crashes.name;
}

class AfterAKilledDaemon : public testing::TestWithParam<Crashes> { };

TEST_P(AfterAKilledDaemon, AStartEndsItsClientsAndServesWithOnePair)
{
	in_sandbox({}, [] {
		const std::vector<std::string> &options = GetParam().options;
		if (GetParam().lock != nullptr)
			setenv("FAKE_DHCLIENT_LOCK", GetParam().lock, 1);
		Started s = start_serving("em0", options);
		ASSERT_GT(s.v6.pid, 0);
		ASSERT_EQ(s.v4.argv.size(), options.size() + 4);
		for (int round = 0; round < 3; round++) {
			SCOPED_TRACE("round " + std::to_string(round));
			ASSERT_EQ(kill(s.daemon, SIGKILL), 0);
			ASSERT_EQ(describe(wait_exit(s.daemon)), "signal 9");
			ASSERT_EQ(live_clients("em0").size(), 2u);

			Started again = start_serving("em0", options);
			ASSERT_GT(again.v6.pid, 0);
			for (pid_t orphan : { s.v4.pid, s.v6.pid }) {
				EXPECT_EQ(
				    describe(wait_exit(orphan)), "exit 0");
				EXPECT_EQ(term_senders(orphan).size(), 1u);
			}
			std::vector<Client> live = live_clients("em0");
			ASSERT_EQ(live.size(), 2u);
			EXPECT_EQ(live[0].pid, again.v4.pid);
			EXPECT_EQ(live[1].pid, again.v6.pid);
			EXPECT_EQ(program_stderr(), "");
			s = again;
		}
		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_TRUE(all_ended());
	});
}

INSTANTIATE_TEST_SUITE_P(TakeBack, AfterAKilledDaemon,
    testing::Values(Crashes { "ClientsThatDoNotLock", nullptr, {} },
	Crashes { "AnIPv4ClientThatLocks", "50", {} },
	Crashes { "StartedWithOptions", nullptr,
	    { "-b", "-n", "-c", "/etc/dhclient.conf" } },
	Crashes { "ThatLocksStartedWithOptions", "50", { "-bnq" } }),
    ByName());

/*
 * What both client files name before a start: a live process of another
 * name, a dhclient of no interface's, or another interface's client.
 * None is signalled, and em0 gets its pair.
 */
class FilesNaming : public testing::TestWithParam<std::string> { };

TEST_P(FilesNaming, WhatIsNotProvablyTheClientIsNeverSignalled)
{
	in_sandbox({}, [] {
		const std::string what = GetParam();
		pid_t other = what == "AnotherInterfacesClient"
		    ? start_serving("em1").v4.pid
		    : start_bystander(what == "AnotherProgram" ? "sleep" : "");
		ASSERT_GT(other, 1);
		for (const char *tag : { "4", "6" })
			write_file(
			    pidfile("em0", tag), std::to_string(other) + "\n");

		Started s = start_serving("em0");
		ASSERT_GT(s.v6.pid, 0);
		EXPECT_TRUE(alive(other));
		EXPECT_TRUE(term_senders(other).empty());
		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_TRUE(term_senders(other).empty());
	});
}

INSTANTIATE_TEST_SUITE_P(TakeBack, FilesNaming,
    testing::Values(
	"AnotherProgram", "ADhclientOfNoInterface", "AnotherInterfacesClient"),
    [](const testing::TestParamInfo<std::string> &info) { return info.param; });

/*
 * The proof that what the IPv4 client's file names is em0's IPv4 client,
 * left by a killed daemon: named dhclient, and either its arguments name
 * that very file (the ISC client keeps its arguments), or its title is the
 * base client's for em0, or its helper's, while the file is held locked.
 * Only what is proven is ended by the start; the rest is left alone.
 */
struct Proof {
	const char *name;
	const char *comm; /* its program's file name */
	std::vector<std::string> argv; /* "FILE" stands for em0's IPv4 file */
	bool locked; /* it holds the file locked */
	bool proven;
};

void
PrintTo(const Proof &p, std::ostream *os)
{
	*os << p.name;
}

class TheProof : public testing::TestWithParam<Proof> { };

TEST_P(TheProof, IsExactAndOnlyWhatIsProvenIsEnded)
{
	const Proof c = GetParam();
	in_sandbox({}, [&] {
		const std::string file = pidfile("em0", "4");
		std::vector<std::string> argv;
		for (const std::string &arg : c.argv)
			argv.push_back(arg == "FILE" ? file
				: arg == "FILE.old"  ? file + ".old"
						     : arg);
		write_file(file, "\n");
		pid_t other = start_bystander(
		    c.comm, argv, c.locked ? file : std::string());
		ASSERT_GT(other, 1);
		write_file(file, std::to_string(other) + "\n");

		Started s = start_serving("em0");
		ASSERT_GT(s.v6.pid, 0);
		EXPECT_EQ(term_senders(other),
		    c.proven ? std::vector<pid_t> { s.daemon }
			     : std::vector<pid_t> {});
		EXPECT_EQ(alive(other), !c.proven);
		/* Its lock, on a file em0's client shares, goes with it. */
		kill(other, SIGKILL);
		wait_exit(other);
		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
	});
}

INSTANTIATE_TEST_SUITE_P(TakeBack, TheProof,
    testing::Values(Proof { "ArgumentsNameTheFile", "dhclient",
			{ "dhclient", "-p", "FILE", "em0" }, false, true },
	Proof { "ArgumentsNameAnotherFile", "dhclient",
	    { "dhclient", "-p", "FILE.old", "em0" }, false, false },
	Proof { "AnotherProgramNamingTheFile", "sleep",
	    { "sleep", "-p", "FILE", "em0" }, false, false },
	Proof { "TheTitle", "dhclient", { "dhclient: em0" }, true, true },
	Proof { "ItsHelpersTitle", "dhclient", { "dhclient: em0 [priv]" }, true,
	    true },
	Proof { "TheTitleWithoutTheLock", "dhclient", { "dhclient: em0" },
	    false, false },
	Proof { "ALongerNamesTitle", "dhclient", { "dhclient: em01" }, true,
	    false },
	Proof { "AnotherProgramsTitle", "sleep", { "dhclient: em0" }, true,
	    false }),
    ByName());

/*
 * Orphans that ignore SIGTERM cannot be taken back: the start fails after
 * a stop's bound, having started nothing, and removes its PID file.  They
 * are left to the administrator.
 */
TEST(TakeBack, OrphansThatWillNotEndFailTheStart)
{
	in_sandbox({}, [] {
		setenv("FAKE_DHCLIENT_EXIT_DELAY_MS", "-1", 1);
		Started s = start_serving("em0");
		ASSERT_GT(s.v6.pid, 0);
		ASSERT_EQ(kill(s.daemon, SIGKILL), 0);
		ASSERT_EQ(describe(wait_exit(s.daemon)), "signal 9");

		long start = now_ms();
		EXPECT_EQ(describe(wait_exit(start_program({ "em0" }), 8000)),
		    "exit 1");
		EXPECT_GE(now_ms() - start, 5000);
		EXPECT_EQ(started_clients().size(), 2u) << "no client started";
		EXPECT_FALSE(exists(pidfile("em0")));
		EXPECT_EQ(program_stderr(), "");
		for (pid_t orphan : { s.v4.pid, s.v6.pid }) {
			EXPECT_TRUE(alive(orphan));
			EXPECT_EQ(term_senders(orphan).size(), 1u);
			kill(orphan, SIGKILL);
		}
	});
}

} // namespace
