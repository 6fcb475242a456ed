/*
 * The interface's first seconds, as at boot: its IPv6 link-local address
 * is missing or tentative, and the IPv6 client must wait for it, without
 * holding up the command, the IPv4 client or a stop.
 */

#include <sys/file.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "sandbox.h"

namespace {

/* em0's link-local address: "none", "tentative" or "usable". */
std::string
link_local_state()
{
	std::ifstream in("/proc/net/if_inet6");
	std::string address, index, length, scope, flags, name;
	std::string state = "none";
	while (in >> address >> index >> length >> scope >> flags >> name)
		if (name == "em0" && scope == "20")
			state = (std::stoul(flags, nullptr, 16) & 0x48) != 0
			    ? "tentative"
			    : "usable";
	return state;
}

/*
 * Start the binary for em0, up but without carrier (its peer is down), so
 * that it has no link-local address until the test sets the peer up.
 * Returns the daemon once the IPv4 client runs, or 0 when that fails.
 */
pid_t
start_without_carrier()
{
	EXPECT_TRUE(shell("ip link add em0 type veth peer name peer0 && "
			  "ip link set em0 up"));
	EXPECT_EQ(link_local_state(), "none");
	EXPECT_EQ(describe(run_program({ "em0" })), "exit 0");
	pid_t daemon = pid_in(pidfile("em0"));
	bool v4_runs = eventually([] { return started_clients().size() == 1; });
	EXPECT_TRUE(v4_runs) << "the IPv4 client should start at once";
	return v4_runs ? daemon : 0;
}

/* The process that waits to become the IPv6 client: not yet a client. */
pid_t
waiting_v6_client(pid_t daemon)
{
	for (pid_t pid : processes())
		if (pid != daemon &&
		    read_file("/proc/" + std::to_string(pid) + "/comm") ==
			std::string("bistack-lease\n"))
			return pid;
	return 0;
}

/*
 * How many probes duplicate address detection sends, a second apart, before
 * the address is usable: one, as by default, or six.
 */
class Dad : public testing::TestWithParam<int> { };

TEST_P(Dad, TheCommandAndTheIPv4ClientDoNotWaitForTheIPv6Address)
{
	if (access("/proc/sys/net/ipv6", F_OK) != 0)
		GTEST_SKIP() << "no IPv6 here";
	in_sandbox({}, [] {
		pid_t daemon = start_without_carrier();
		ASSERT_GT(daemon, 1);
		EXPECT_EQ(started_clients()[0].argv[0], "/sbin/dhclient");
		EXPECT_GT(waiting_v6_client(daemon), 0);

		/* Carrier comes; the address is tentative for a while. */
		ASSERT_TRUE(shell("echo " + std::to_string(GetParam()) +
		    " >/proc/sys/net/ipv6/conf/em0/dad_transmits && "
		    "ip link set peer0 up"));
		bool early = false;
		EXPECT_TRUE(eventually(
		    [&] {
			    bool started = started_clients().size() == 2;
			    early |= started && link_local_state() != "usable";
			    return started;
		    },
		    15000));
		EXPECT_FALSE(early) << "started before the address was usable";
		std::vector<Client> clients = started_clients();
		ASSERT_EQ(clients.size(), 2u);
		EXPECT_EQ(clients[1].argv,
		    (std::vector<std::string> { "/usr/local/sbin/dhclient",
			"-6", "-nw", "-cf", "/dev/null", "-pf",
			pidfile("em0", "6"), "em0" }));

		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
		for (const Client &client : clients)
			EXPECT_EQ(first_term_sender(client.pid), daemon);
	});
}

INSTANTIATE_TEST_SUITE_P(Boot, Dad, testing::Values(1, 6),
    [](const testing::TestParamInfo<int> &info) {
	    return info.param == 1 ? "OneProbe" : "SixProbes";
    });

/*
 * While it waits, the IPv6 client's process holds what its client will
 * inherit and its channel, no more as time goes by, and never the daemon's
 * PID file: a daemon killed meanwhile leaves the file free to be taken.
 */
TEST(Boot, TheWaitingIPv6ClientHoldsOnlyItsChannel)
{
	if (access("/proc/sys/net/ipv6", F_OK) != 0)
		GTEST_SKIP() << "no IPv6 here";
	in_sandbox({}, [] {
		pid_t daemon = start_without_carrier();
		ASSERT_GT(daemon, 1);
		pid_t waiting = waiting_v6_client(daemon);
		ASSERT_GT(waiting, 0);
		const std::vector<std::string> held { "/dev/null",
			"/run/test/stdout", "/run/test/stderr", "socket" };
		EXPECT_EQ(fd_targets_at_rest(waiting), held);

		/* Each look at the address ends a pause of its own. */
		std::string status =
		    "/proc/" + std::to_string(waiting) + "/status";
		auto pauses = [&] {
			std::string text = read_file(status).value_or("");
			size_t at = text.find("voluntary_ctxt_switches:");
			return at == std::string::npos
			    ? -1L
			    : atol(text.c_str() + at + 24);
		};
		long before = pauses();
		ASSERT_TRUE(eventually([&] { return pauses() >= before + 8; }));
		EXPECT_EQ(fd_targets_at_rest(waiting), held);

		ASSERT_EQ(kill(daemon, SIGKILL), 0);
		ASSERT_EQ(describe(wait_exit(daemon)), "signal 9");
		int fd = open(pidfile("em0").c_str(), O_RDONLY);
		ASSERT_NE(fd, -1);
		EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0)
		    << "the daemon's PID file is still locked";
		close(fd);
	});
}

/* As prompt as any: the waiting process gives up at once when told. */
TEST(Boot, AStopWhileTheIPv6ClientWaitsIsANormalStop)
{
	if (access("/proc/sys/net/ipv6", F_OK) != 0)
		GTEST_SKIP() << "no IPv6 here";
	in_sandbox({}, [] {
		without_leak_check();
		pid_t daemon = start_without_carrier();
		ASSERT_GT(daemon, 1);
		pid_t waiting = waiting_v6_client(daemon);
		ASSERT_GT(waiting, 0);
		ASSERT_TRUE(
		    eventually([] { return pid_in(pidfile("em0", "4")) > 0; }));

		long start = now_ms();
		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
		EXPECT_LT(now_ms() - start, prompt_ms);
		EXPECT_FALSE(exists(pidfile("em0")));
		/* Once it has ended, no IPv6 client can start any more. */
		EXPECT_EQ(describe(wait_exit(waiting)), "exit 0");
		ASSERT_EQ(started_clients().size(), 1u);
		pid_t v4 = started_clients()[0].pid;
		EXPECT_EQ(first_term_sender(v4), daemon);
		EXPECT_EQ(describe(wait_exit(v4)), "exit 0");
		EXPECT_EQ(processes(), std::vector<pid_t> {});
	});
}

/*
 * Started from a shell on a terminal that then hangs up, as when the ssh
 * session of "ssh host service dhclient restart em0" ends: the hangup goes
 * to the terminal's foreground process group, the caller's, which the
 * IPv6 client's waiting process shares.
 */
TEST(Boot, TheIPv6ClientIsStillStartedAfterTheCallersTerminalHangsUp)
{
	if (access("/proc/sys/net/ipv6", F_OK) != 0)
		GTEST_SKIP() << "no IPv6 here";
	in_sandbox({}, [] {
		/* So does the IPv4 client until it goes into the background. */
		setenv("FAKE_DHCLIENT_BACKGROUND", "1", 1);
		ASSERT_TRUE(
		    shell("ip link add em0 type veth peer name peer0 && "
			  "ip link set em0 up"));
		int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
		ASSERT_NE(terminal, -1);
		ASSERT_EQ(grantpt(terminal), 0);
		ASSERT_EQ(unlockpt(terminal), 0);
		std::string line = ptsname(terminal);
		pid_t caller = fork();
		if (caller == 0) {
			/* The session's leader, its terminal acquired. */
			setsid();
			close(terminal);
			int fd = open(line.c_str(), O_RDWR);
			for (int std = 0; std < 3; std++)
				dup2(fd, std);
			execl("/bin/sh", "sh", "-c",
			    BISTACK_LEASE_PATH " em0 && exec sleep 600",
			    (char *)nullptr);
			_exit(127);
		}
		/*
		 * The command has returned (the shell has gone on to sleep),
		 * the daemon's child waits, and the IPv4 client is in the
		 * background.
		 */
		pid_t daemon = 0, waiting = 0;
		ASSERT_TRUE(eventually([&] {
			daemon = pid_in(pidfile("em0"));
			waiting = daemon > 1 ? waiting_v6_client(daemon) : 0;
			std::vector<std::string> fields = stat_fields(waiting);
			return fields.size() > 1 &&
			    fields[1] == std::to_string(daemon) &&
			    read_file("/proc/" + std::to_string(caller) +
				"/comm") == std::string("sleep\n") &&
			    alive(pid_in(pidfile("em0", "4")));
		}));

		close(terminal);
		EXPECT_EQ(describe(wait_exit(caller)), "signal 1");
		EXPECT_TRUE(alive(waiting));
		ASSERT_TRUE(shell("ip link set peer0 up"));
		EXPECT_TRUE(eventually(
		    [] { return started_clients().size() == 2; }, 15000))
		    << "no IPv6 client";

		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
		EXPECT_TRUE(all_ended());
	});
}

/* Then no link-local address ever comes: there is nothing to wait for. */
TEST(Boot, WithIPv6SwitchedOffOnTheInterfaceTheIPv6ClientStartsAtOnce)
{
	if (access("/proc/sys/net/ipv6", F_OK) != 0)
		GTEST_SKIP() << "no IPv6 here";
	in_sandbox({}, [] {
		ASSERT_TRUE(
		    shell("ip link add em0 type veth peer name peer0 && "
			  "echo 1 >/proc/sys/net/ipv6/conf/em0/"
			  "disable_ipv6 && ip link set em0 up"));
		ASSERT_EQ(describe(run_program({ "em0" })), "exit 0");
		pid_t daemon = pid_in(pidfile("em0"));
		/* Well before the 30 s it would otherwise wait. */
		EXPECT_TRUE(eventually(
		    [] { return started_clients().size() == 2; }, 5000))
		    << "the IPv6 client waited";

		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
		EXPECT_TRUE(all_ended());
	});
}

} // namespace
