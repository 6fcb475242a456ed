/*
 * The whole system as its users meet it: real ISC DHCP clients getting real
 * leases from a real server (dnsmasq) on a private network, and stopped the
 * way a system stops an interface's DHCP client.
 */

#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <unistd.h>

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
		up = system((lab + " up " + lab_dir + " " + mode).c_str()) == 0;
	}
	~Lab() { system((lab + " down " + lab_dir).c_str()); }
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

/* The PID in a client's PID file, once it names a live dhclient. */
pid_t
live_client(const std::string &tag)
{
	pid_t pid = 0;
	EXPECT_TRUE(eventually([&] {
		pid = pid_in(pidfile("em0", tag));
		return pid > 0 &&
		    read_file("/proc/" + std::to_string(pid) + "/comm") ==
		    std::string("dhclient\n");
	})) << "no live dhclient in the IPv"
	    << tag << " PID file";
	return pid;
}

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
	/* dnsmasq and the clients' script want a real root's rights. */
	if (getuid() != 0)
		GTEST_SKIP() << "the end-to-end tests need root";
	SandboxSetup setup;
	setup.v4_client = E2E_ADAPTER_PATH;
	setup.v6_client = "/usr/sbin/dhclient"; /* the ISC client, copied */
	in_sandbox(setup, [] {
		const Server server = GetParam();
		Lab net(server.mode);
		ASSERT_TRUE(net.up) << "the lab network could not be built";

		RunOptions opts;
		opts.before_exec = enter_client_network;
		ASSERT_EQ(describe(run_program({ "em0" }, opts)), "exit 0");
		pid_t daemon = pid_in(pidfile("em0"));
		ASSERT_GT(daemon, 0);
		pid_t v4 = live_client("4"), v6 = live_client("6");

		/* Leases from the ranges .100-.199 and ::100-::1ff. */
		std::string addr4, addr6;
		EXPECT_TRUE(eventually(
		    [&] {
			    addr4 = output_of(lab + " addr 4");
			    addr6 = output_of(lab + " addr 6");
			    return !addr4.empty() &&
				(!server.dhcpv6 || !addr6.empty());
		    },
		    20000))
		    << "leases: \"" << addr4 << "\" \"" << addr6 << "\"";
		EXPECT_EQ(addr4.rfind("192.0.2.1", 0), 0u) << addr4;
		EXPECT_EQ(addr4.find('\n'), std::string::npos) << addr4;
		if (server.dhcpv6) {
			EXPECT_EQ(addr6.rfind("2001:db8::1", 0), 0u) << addr6;
			EXPECT_EQ(
			    addr6.size(), std::string("2001:db8::1xx").size())
			    << addr6;
		}
		EXPECT_TRUE(alive(v4) && alive(v6)) << "a client ended early";

		/* As a system stops the interface's DHCP client. */
		EXPECT_EQ(system("start-stop-daemon --stop --quiet --pidfile "
				 "/var/run/dhclient/dhclient.em0.pid"),
		    0);
		EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
		EXPECT_NE(describe(wait_exit(v4)), "still running");
		EXPECT_NE(describe(wait_exit(v6)), "still running");
		EXPECT_FALSE(exists(pidfile("em0")));

		/* Only the clients may talk on standard error. */
		std::string err = program_stderr();
		EXPECT_EQ(err.find("bistack-lease"), std::string::npos) << err;
		EXPECT_EQ(err.find("Failed to spawn"), std::string::npos)
		    << err;
	});
}

INSTANTIATE_TEST_SUITE_P(Server, RealClients,
    testing::Values(Server { "dual", true }, Server { "v4only", false }),
    [](const testing::TestParamInfo<Server> &info) {
	    return info.param.dhcpv6 ? "DualStack" : "WithoutDHCPv6";
    });

} // namespace
