/*
 * The whole system as its users meet it: real ISC DHCP clients getting real
 * leases from a real server (dnsmasq) on a private network, and stopped the
 * way a system stops an interface's DHCP client.
 */

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "sandbox.h"

namespace {

const std::string lab = E2E_LAB_PATH;
const std::string lab_dir = "/var/run/lab";

/* What a shell command printed, trimmed; "" if it failed. */
std::string
output_of(const std::string &command)
{
	std::string out;
	char buf[256];
	FILE *fp = popen(command.c_str(), "r");
	if (fp == nullptr)
		return out;
	while (fgets(buf, sizeof(buf), fp) != nullptr)
		out += buf;
	if (pclose(fp) != 0)
		return "";
	while (!out.empty() && out.back() == '\n')
		out.pop_back();
	return out;
}

/* The lab network is taken down however the test ends. */
struct Lab {
	explicit Lab(const std::string &mode)
	{
		up = shell(lab + " up " + lab_dir + " " + mode);
	}
	~Lab() { shell(lab + " down " + lab_dir); }
	bool up;
};

void
enter_client_network()
{
	int fd = open("/run/netns/bl-cli", O_RDONLY);
	if (fd == -1 || setns(fd, CLONE_NEWNET) == -1)
		_exit(125);
	close(fd);
}

/* bistack-lease em0, in em0's network namespace: the daemon, or 0. */
pid_t
start_em0()
{
	RunOptions opts;
	opts.before_exec = enter_client_network;
	EXPECT_EQ(describe(run_program({ "em0" }, opts)), "exit 0");
	pid_t daemon = pid_in(pidfile("em0"));
	EXPECT_GT(daemon, 1);
	return daemon;
}

/* The PID in a client's PID file, once it names a live dhclient. */
pid_t
live_client(const std::string &tag)
{
	pid_t pid = 0;
	EXPECT_TRUE(eventually([&] {
		pid = pid_in(pidfile("em0", tag));
		return pid > 0 && alive(pid) &&
		    read_file("/proc/" + std::to_string(pid) + "/comm") ==
		    std::string("dhclient\n");
	})) << "no live dhclient in the IPv"
	    << tag << " PID file";
	return pid;
}

/*
 * Wait for em0's leases, from the ranges .100-.199 and ::100-::1ff; the
 * IPv6 one only when dhcpv6.
 */
void
expect_leases(bool dhcpv6 = true)
{
	std::string addr4, addr6;
	EXPECT_TRUE(eventually(
	    [&] {
		    addr4 = output_of(lab + " addr 4");
		    addr6 = output_of(lab + " addr 6");
		    return !addr4.empty() && (!dhcpv6 || !addr6.empty());
	    },
	    20000))
	    << "leases: \"" << addr4 << "\" \"" << addr6 << "\"";
	EXPECT_EQ(addr4.rfind("192.0.2.1", 0), 0u) << addr4;
	EXPECT_EQ(addr4.find('\n'), std::string::npos) << addr4;
	if (dhcpv6) {
		EXPECT_EQ(addr6.rfind("2001:db8::1", 0), 0u) << addr6;
		EXPECT_EQ(addr6.size(), std::string("2001:db8::1xx").size())
		    << addr6;
	}
}

struct Serving {
	pid_t daemon, v4, v6;
};

/* Start it for em0 and wait until both clients run and have leases. */
Serving
serve_em0(bool dhcpv6 = true)
{
	Serving s;
	s.daemon = start_em0();
	s.v4 = live_client("4");
	s.v6 = live_client("6");
	expect_leases(dhcpv6);
	EXPECT_TRUE(alive(s.v4) && alive(s.v6)) << "a client ended early";
	return s;
}

/* As a system stops the interface's DHCP client: all three end. */
void
stop_through_the_pidfile(pid_t daemon, pid_t v4, pid_t v6)
{
	EXPECT_EQ(shell("start-stop-daemon --stop --quiet --pidfile "
			"/var/run/dhclient/dhclient.em0.pid"),
	    true);
	EXPECT_EQ(describe(wait_exit(daemon, 10000)), "exit 0");
	EXPECT_NE(describe(wait_exit(v4)), "still running");
	EXPECT_NE(describe(wait_exit(v6)), "still running");
	EXPECT_FALSE(exists(pidfile("em0")));
}

/* The command names of the live processes here, but the lab's server. */
std::vector<std::string>
live_processes()
{
	std::vector<std::string> names;
	for (pid_t pid : processes()) {
		std::string name =
		    read_file("/proc/" + std::to_string(pid) + "/comm")
			.value_or("");
		if (alive(pid) && name != "dnsmasq\n")
			names.push_back(name);
	}
	return names;
}

/* Only the clients may talk on standard error. */
void
expect_nothing_said()
{
	std::string err = program_stderr();
	EXPECT_EQ(err.find("bistack-lease"), std::string::npos) << err;
	EXPECT_EQ(err.find("Failed to spawn"), std::string::npos) << err;
}

/* dnsmasq and the clients' script want a real root's rights. */
SandboxSetup
real_clients()
{
	SandboxSetup setup;
	setup.v4_client = E2E_ADAPTER_PATH;
	setup.v6_client = "/usr/sbin/dhclient"; /* the ISC client, copied */
	return setup;
}

#define NEEDS_ROOT()                                                           \
	do {                                                                   \
		if (getuid() != 0)                                             \
			GTEST_SKIP() << "the end-to-end tests need root";      \
	} while (0)

struct Server {
	const char *mode;
	bool dhcpv6;
};

void
PrintTo(const Server &server, std::ostream *os)
{
	*os << server.mode;
}

class RealClients : public testing::TestWithParam<Server> { };

TEST_P(RealClients, GetLeasesAndAllStopThroughThePidfile)
{
	NEEDS_ROOT();
	in_sandbox(real_clients(), [] {
		const Server server = GetParam();
		Lab net(server.mode);
		ASSERT_TRUE(net.up) << "the lab network could not be built";

		Serving s = serve_em0(server.dhcpv6);
		stop_through_the_pidfile(s.daemon, s.v4, s.v6);
		expect_nothing_said();
	});
}

INSTANTIATE_TEST_SUITE_P(Server, RealClients,
    testing::Values(Server { "dual", true }, Server { "v4only", false }),
    [](const testing::TestParamInfo<Server> &info) {
	    return info.param.dhcpv6 ? "DualStack" : "WithoutDHCPv6";
    });

/*
 * The clients record their PIDs some milliseconds after the return, the
 * IPv6 one once it has gone into the background: the stop reaches them
 * anyway, by the processes the command started or by what they recorded.
 */
TEST(RealClients, AStopRightAfterTheCommandStopsBothClients)
{
	NEEDS_ROOT();
	in_sandbox(real_clients(), [] {
		Lab net("dual");
		ASSERT_TRUE(net.up) << "the lab network could not be built";

		pid_t daemon = start_em0();
		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(describe(wait_exit(daemon, 10000)), "exit 0");
		EXPECT_FALSE(exists(pidfile("em0")));
		EXPECT_TRUE(eventually([] { return live_processes().empty(); }))
		    << "a client was left running";
		expect_nothing_said();
	});
}

/*
 * Kept in the foreground, the IPv4 client records its PID only once it has
 * a lease; with no server it never does.  The IPv6 client goes into the
 * background at once and records its new PID.
 */
TEST(RealClients, AnIPv4ClientWithoutALeaseIsStoppedByItsProcess)
{
	NEEDS_ROOT();
	in_sandbox(real_clients(), [] {
		Lab net("noserver");
		ASSERT_TRUE(net.up) << "the lab network could not be built";

		setenv("DHCLIENT_ADAPTER_FOREGROUND", "1", 1);
		pid_t daemon = start_em0();
		pid_t v6 = live_client("6");
		/* The IPv4 one is two: it works in a child of its own. */
		std::vector<std::string> running;
		EXPECT_TRUE(eventually([&] {
			running = live_processes();
			return std::count(running.begin(), running.end(),
				   "dhclient\n") == 3;
		})) << "both clients should run: "
		    << testing::PrintToString(running);
		/* A few seconds without a lease. */
		EXPECT_EQ(describe(wait_exit(daemon, 3000)), "still running");
		EXPECT_FALSE(exists(pidfile("em0", "4")));

		ASSERT_TRUE(send_sigterm(daemon));
		/* Its status says whether it kept the stop's bound. */
		EXPECT_EQ(
		    describe(wait_exit(daemon, 2 * stop_wait_ms)), "exit 0");
		EXPECT_NE(describe(wait_exit(v6)), "still running");
		EXPECT_TRUE(eventually([] { return live_processes().empty(); }))
		    << "left running: "
		    << testing::PrintToString(live_processes());
		EXPECT_FALSE(exists(pidfile("em0")));
	});
}

/*
 * Started the moment em0 comes up, with duplicate address detection on:
 * the command returns at once, the IPv6 client waits for the link-local
 * address, and both leases come.
 */
TEST(RealClients, AtBootTheIPv6ClientWaitsForItsAddress)
{
	NEEDS_ROOT();
	in_sandbox(real_clients(), [] {
		Lab net("dual boot");
		ASSERT_TRUE(net.up) << "the lab network could not be built";

		ASSERT_TRUE(shell("ip -n bl-cli link set em0 up"));
		pid_t daemon = start_em0();
		EXPECT_NE(output_of(lab + " linklocal"), "usable")
		    << "the command waited for the address";
		pid_t v4 = live_client("4"), v6 = live_client("6");
		expect_leases();
		EXPECT_TRUE(alive(v4) && alive(v6)) << "a client ended early";
		stop_through_the_pidfile(daemon, v4, v6);
		expect_nothing_said();
	});
}

/*
 * The IPv4 client ends on its own (the BSD base client does when its
 * interface goes down; the ISC client on Linux does not, so it is ended
 * here): the daemon stops the IPv6 client and ends, and the interface's
 * client can be started again, once the interface is back up.
 */
TEST(RealClients, WhenTheIPv4ClientEndsAllEndAndAStartGetsBothAgain)
{
	NEEDS_ROOT();
	in_sandbox(real_clients(), [] {
		Lab net("dual");
		ASSERT_TRUE(net.up) << "the lab network could not be built";

		Serving s = serve_em0();
		ASSERT_TRUE(send_sigterm(s.v4));
		EXPECT_NE(describe(wait_exit(s.v4)), "still running");
		EXPECT_EQ(describe(wait_exit(s.daemon, 10000)), "exit 0");
		EXPECT_NE(describe(wait_exit(s.v6)), "still running");
		EXPECT_FALSE(exists(pidfile("em0")));

		/* Down and up again: the leases are gone, DAD runs anew. */
		ASSERT_TRUE(shell("ip -n bl-cli link set em0 down && "
				  "ip -n bl-cli addr flush dev em0 && "
				  "ip -n bl-cli link set em0 up"));
		s = serve_em0();
		stop_through_the_pidfile(s.daemon, s.v4, s.v6);
		expect_nothing_said();
	});
}

/*
 * rc's restart, round after round: SIGTERM to the daemon, a wait only until
 * its PID has gone, then a start at once.  Each round's clients have ended
 * by then, and the new ones get leases anew (the old addresses are
 * flushed first).
 */
TEST(RealClients, RestartedRoundAfterRoundBothClientsGetLeasesAgain)
{
	NEEDS_ROOT();
	in_sandbox(real_clients(), [] {
		Lab net("dual");
		ASSERT_TRUE(net.up) << "the lab network could not be built";

		Serving s = serve_em0();
		for (int round = 0; round < 3; round++) {
			SCOPED_TRACE("round " + std::to_string(round));
			ASSERT_TRUE(send_sigterm(s.daemon));
			ASSERT_EQ(
			    describe(wait_exit(s.daemon, 10000)), "exit 0");
			EXPECT_FALSE(alive(s.v4) || alive(s.v6))
			    << "the daemon ended before its clients";
			ASSERT_TRUE(shell(
			    "ip -n bl-cli addr flush dev em0 scope global"));
			Serving again = serve_em0();
			EXPECT_NE(again.v4, s.v4);
			EXPECT_NE(again.v6, s.v6);
			s = again;
		}
		stop_through_the_pidfile(s.daemon, s.v4, s.v6);
		expect_nothing_said();
	});
}

/*
 * The daemon is killed (kill -9): its clients keep their leases and run
 * on.  The next start ends them before it starts its own: exactly one pair
 * then runs and holds leases, and its stop ends everything.
 */
TEST(RealClients, AfterAKilledDaemonAStartTakesTheInterfaceBack)
{
	NEEDS_ROOT();
	in_sandbox(real_clients(), [] {
		Lab net("dual");
		ASSERT_TRUE(net.up) << "the lab network could not be built";

		Serving s = serve_em0();
		ASSERT_EQ(kill(s.daemon, SIGKILL), 0);
		ASSERT_EQ(describe(wait_exit(s.daemon)), "signal 9");
		EXPECT_TRUE(alive(s.v4) && alive(s.v6));

		Serving again = serve_em0();
		EXPECT_TRUE(eventually([&] {
			return !alive(s.v4) && !alive(s.v6);
		})) << "the earlier clients still run";
		/* A client's fork for its script is one more, for a moment. */
		std::vector<std::string> running;
		EXPECT_TRUE(eventually([&] {
			running = live_processes();
			return std::count(running.begin(), running.end(),
				   "dhclient\n") == 2;
		})) << testing::PrintToString(running);
		stop_through_the_pidfile(again.daemon, again.v4, again.v6);
		EXPECT_TRUE(eventually([] { return live_processes().empty(); }))
		    << "left running: "
		    << testing::PrintToString(live_processes());
		expect_nothing_said();
	});
}

} // namespace
