/* The command line, the run paths and the launch of both clients. */

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "sandbox.h"

namespace {

const std::string usage =
    "usage: bistack-lease [-bdnqu] [-c file] [-l file] ifname\n";

std::vector<std::string>
v4_argv(const std::string &ifname)
{
	return { "/sbin/dhclient", "-p", pidfile(ifname, "4"), ifname };
}

std::vector<std::string>
v6_argv(const std::string &ifname)
{
	return { "/usr/local/sbin/dhclient", "-6", "-nw", "-cf", "/dev/null",
		"-pf", pidfile(ifname, "6"), ifname };
}

/*
 * Command lines that are not the base client's options and one interface
 * name: no name, more than one (options end at the first), an option the
 * base client does not take or -p, which names the file the daemon reads,
 * an option without its file, a name that begins with "-", which would
 * reach the clients as an option (the ISC client reads "-r" as "release"),
 * or one that no interface can have: empty, or longer than the 15 bytes of
 * an interface name (IFNAMSIZ less its NUL, on the BSDs as on Linux).
 */
struct CommandLine {
	const char *name;
	std::vector<std::string> args;
};

void
PrintTo(const CommandLine &line, std::ostream *os)
{
	*os << line.name;
}

class MalformedCommandLine : public testing::TestWithParam<CommandLine> { };

TEST_P(MalformedCommandLine, PrintsUsageAndStartsNothing)
{
	in_sandbox({}, [] {
		EXPECT_EQ(describe(run_program(GetParam().args)), "exit 1");
		EXPECT_EQ(program_stderr(), usage);
		EXPECT_EQ(program_stdout(), "");
		/* Any child it had forked would now be ours, live or not. */
		EXPECT_EQ(processes(), std::vector<pid_t> {});
		EXPECT_TRUE(started_clients().empty());
		EXPECT_EQ(
		    list_dir("/var/run/dhclient"), std::vector<std::string> {});
	});
}

INSTANTIATE_TEST_SUITE_P(Usage, MalformedCommandLine,
    testing::Values(CommandLine { "NoArgument", {} },
	CommandLine { "TwoArguments", { "em0", "em1" } },
	CommandLine { "ThreeArguments", { "em0", "em1", "em2" } },
	CommandLine { "OptionsAlone", { "-b", "-n" } },
	CommandLine { "OptionAfterTheName", { "em0", "-b" } },
	CommandLine { "PidFileOption", { "-p", "/tmp/x.pid", "em0" } },
	CommandLine { "PidFileInACluster", { "-bp", "/tmp/x.pid", "em0" } },
	CommandLine { "UnknownOption", { "-x", "em0" } },
	CommandLine { "UnknownInACluster", { "-bnx", "em0" } },
	CommandLine { "ConfigWithoutFile", { "-c" } },
	CommandLine { "LeaseFileWithoutFile", { "-b", "-l" } },
	CommandLine { "HyphenNameAfterTheEnd", { "--", "-b" } },
	CommandLine { "EmptyNameAfterTheEnd", { "-q", "--", "" } },
	CommandLine { "TwoNamesAfterTheEnd", { "--", "em0", "em1" } },
	CommandLine { "ReleaseOption", { "-r" } },
	CommandLine { "IPv6Option", { "-6" } },
	CommandLine { "LongOption", { "--help" } },
	CommandLine { "LoneHyphen", { "-" } },
	CommandLine { "EmptyName", { "" } },
	CommandLine { "SixteenBytes", { "em0123456789abcd" } },
	CommandLine { "LongerThanAFileName", { std::string(300, 'x') } },
	CommandLine { "LongerThanAPath", { std::string(5000, 'y') } }),
    ByName());

/*
 * The base client's options, as rc passes them (background_dhclient,
 * dhclient_arpwait, dhclient_flags), reach the IPv4 client as given, in
 * order, before its -p; a "--" that ends them does not.  The IPv6 client's
 * command line never changes.
 */
struct Options {
	const char *name;
	std::vector<std::string> given; /* before the name */
	std::vector<std::string> passed; /* to the IPv4 client */
};

void
PrintTo(const Options &options, std::ostream *os)
{
	*os << options.name;
}

class BaseClientOptions : public testing::TestWithParam<Options> { };

TEST_P(BaseClientOptions, ReachTheIPv4ClientAsGiven)
{
	in_sandbox({}, [] {
		std::vector<std::string> args = GetParam().given;
		args.push_back("em0");
		EXPECT_EQ(describe(run_program(args)), "exit 0");
		ASSERT_TRUE(eventually([] {
			return started_clients().size() == 2;
		})) << "both clients should start";

		std::vector<std::string> v4 = { "/sbin/dhclient" };
		for (const std::string &arg : GetParam().passed)
			v4.push_back(arg);
		for (const std::string &arg : v4_argv("em0"))
			if (arg != "/sbin/dhclient")
				v4.push_back(arg);
		std::vector<Client> clients = started_clients();
		EXPECT_EQ(clients[0].argv, v4);
		EXPECT_EQ(clients[1].argv, v6_argv("em0"));
		EXPECT_EQ(program_stderr(), "");
	});
}

INSTANTIATE_TEST_SUITE_P(Options, BaseClientOptions,
    testing::Values(Options { "None", {}, {} },
	Options { "AsRcAddsThem", { "-b", "-n" }, { "-b", "-n" } },
	Options { "Clustered", { "-bnq" }, { "-bnq" } },
	Options { "EveryFlagInOrder", { "-u", "-d", "-q", "-n", "-b" },
	    { "-u", "-d", "-q", "-n", "-b" } },
	Options { "FilesSeparate",
	    { "-c", "/etc/dhclient.em0.conf", "-l", "/var/db/em0.leases" },
	    { "-c", "/etc/dhclient.em0.conf", "-l", "/var/db/em0.leases" } },
	Options { "FileJoined", { "-c/etc/x.conf", "-bl/var/db/l" },
	    { "-c/etc/x.conf", "-bl/var/db/l" } },
	Options { "FileThatLooksLikeAnOption", { "-c", "-p" }, { "-c", "-p" } },
	Options { "EndOfOptions", { "-q", "--" }, { "-q" } },
	Options { "EndOfOptionsAsAFile", { "-c", "--" }, { "-c", "--" } },
	Options { "OnlyTheEnd", { "--" }, {} }),
    ByName());

/*
 * A single argument is the interface name, whatever it holds: copied byte
 * for byte into both command lines and all three run paths.
 */
struct Name {
	const char *name;
	std::string ifname;
};

void
PrintTo(const Name &name, std::ostream *os)
{
	*os << name.name;
}

class InterfaceName : public testing::TestWithParam<Name> { };

TEST_P(InterfaceName, StartsBothClientsWithExactCommandLines)
{
	in_sandbox({}, [] {
		const std::string ifname = GetParam().ifname;
		/* A "/" in the name leads one level down: make that level. */
		size_t slash = ifname.find('/');
		if (slash != std::string::npos) {
			ASSERT_EQ(mkdir(("/var/run/dhclient/dhclient." +
					    ifname.substr(0, slash))
					    .c_str(),
				      0755),
			    0);
		}

		EXPECT_EQ(describe(run_program({ ifname })), "exit 0");
		ASSERT_TRUE(eventually([] {
			return started_clients().size() == 2;
		})) << "both clients should start";

		std::vector<Client> clients = started_clients();
		/* PIDs are handed out in order: the IPv4 client came first. */
		EXPECT_EQ(clients[0].argv, v4_argv(ifname));
		EXPECT_EQ(clients[1].argv, v6_argv(ifname));
		EXPECT_TRUE(exists(pidfile(ifname)));
		EXPECT_EQ(program_stderr(), "");
		EXPECT_EQ(program_stdout(), "");
	});
}

INSTANTIATE_TEST_SUITE_P(Names, InterfaceName,
    testing::Values(Name { "Plain", "em0" },
	Name { "FifteenBytes", "em0123456789abc" },
	Name { "WithHyphensInside", "em0-r-6" },
	Name { "WithASlash", "vlan0/sub" },
	Name { "WithBlanks", "sp ace\ttab" }),
    ByName());

/*
 * Which client is missing: true for the IPv4 one, false for the IPv6 one.
 * Without its IPv4 client the daemon ends too, as when that client ends on
 * its own; the other one carries on.
 */
class MissingClient : public testing::TestWithParam<bool> { };

TEST_P(MissingClient, IsReportedByItsChild)
{
	const bool v4_missing = GetParam();
	SandboxSetup setup;
	(v4_missing ? setup.v4_client : setup.v6_client) = nullptr;
	in_sandbox(setup, [&] {
		const std::string failure = "Failed to spawn " +
		    std::string(v4_missing ? "/sbin/dhclient"
					   : "/usr/local/sbin/dhclient") +
		    "\n";

		EXPECT_EQ(describe(run_program({ "em0" })), "exit 0");
		EXPECT_TRUE(eventually(
		    [&] { return program_stderr().size() >= failure.size(); }));
		EXPECT_EQ(program_stderr(), failure);
		if (v4_missing)
			return;
		ASSERT_TRUE(
		    eventually([] { return started_clients().size() == 1; }));
		std::vector<Client> clients = started_clients();
		EXPECT_EQ(clients[0].argv, v4_argv("em0"));
		EXPECT_TRUE(alive(clients[0].pid));
		EXPECT_TRUE(exists(pidfile("em0")));
	});
}

INSTANTIATE_TEST_SUITE_P(Launch, MissingClient, testing::Bool(),
    [](const testing::TestParamInfo<bool> &info) {
	    return info.param ? "IPv4" : "IPv6";
    });

} // namespace
