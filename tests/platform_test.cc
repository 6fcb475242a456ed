/*
 * The system-specific questions, asked directly on Linux: a process's name
 * and children, whether an interface's link-local address is usable, and
 * what the wait tells.
 */

#include <sys/socket.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include <gtest/gtest.h>

#include "platform.h"
#include "sandbox.h"

namespace {

/*
 * Command names as the kernel keeps them, cut to 15 characters: the
 * parentheses and spaces of /proc/PID/stat's name field must not be taken
 * for its end.
 */
struct Name {
	const char *name;
	std::string file, comm;
};

void
PrintTo(const Name &n, std::ostream *os)
{
	*os << n.name;
}

class ProcessName : public testing::TestWithParam<Name> { };

TEST_P(ProcessName, IsReadAsTheKernelKeepsIt)
{
	in_sandbox({}, [] {
		const Name n = GetParam();
		pid_t pid = start_bystander(n.file);
		char name[64] = "";
		EXPECT_EQ(process_name(pid, name, sizeof(name)), 1);
		EXPECT_EQ(std::string(name), n.comm);

		ASSERT_EQ(kill(pid, SIGKILL), 0);
		ASSERT_TRUE(eventually([&] { return !alive(pid); }));
		EXPECT_EQ(process_name(pid, name, sizeof(name)), 0)
		    << "a zombie has ended";
		ASSERT_EQ(describe(wait_exit(pid)), "signal 9");
		EXPECT_EQ(process_name(pid, name, sizeof(name)), 0);
	});
}

INSTANTIATE_TEST_SUITE_P(Platform, ProcessName,
    testing::Values(Name { "Plain", "dhclient", "dhclient" },
	Name { "ClosingParenthesis", "dhclient) x", "dhclient) x" },
	Name { "EndingInAParenthesis", "dhclient)", "dhclient)" },
	Name { "LooksLikeAStatLine", "a) Z 1 (b", "a) Z 1 (b" },
	Name { "Spaces", "dh client", "dh client" },
	Name { "LongerThanTheKernelKeeps", "dhclient-script-long",
	    "dhclient-script" }),
    ByName());

TEST(Platform, ChildProcessesAreTheLiveOnesOfThatParent)
{
	in_sandbox({}, [] {
		std::vector<pid_t> started;
		for (int i = 0; i < 3; i++)
			started.push_back(start_bystander());
		ASSERT_EQ(kill(started[1], SIGKILL), 0);
		ASSERT_TRUE(eventually([&] { return !alive(started[1]); }));

		pid_t children[8];
		int n = child_processes(getpid(), children, 8);
		std::vector<pid_t> listed(children, children + std::max(n, 0));
		std::sort(listed.begin(), listed.end());
		EXPECT_EQ(
		    listed, (std::vector<pid_t> { started[0], started[2] }));
		EXPECT_EQ(child_processes(getpid(), children, 1), 1)
		    << "no more than there is room for";
		EXPECT_EQ(child_processes(started[0], children, 8), 0);
	});
}

/* What one wait told, as "kind:tag" in order; time_up as "time". */
std::vector<std::string>
told(int timeout_ms)
{
	const char *kinds[] = { "ended", "channel", "file", "stop", "time" };
	struct event events[most_watched];
	std::vector<std::string> seen;
	int n = await_events(events, most_watched, timeout_ms);

	for (int i = 0; i < n; i++)
		seen.push_back(std::string(kinds[events[i].kind]) +
		    (events[i].kind == time_up || events[i].kind == stop_signal
			    ? ""
			    : ":" + std::to_string(events[i].tag)));
	return seen;
}

/*
 * A watched process's end is told once, by its tag, and it takes no signal
 * after: its number may be another's by then.  Nothing else wakes the wait.
 */
TEST(Events, AWatchedProcessEndIsToldOnceByItsTag)
{
	in_sandbox({}, [] {
		pid_t one = start_bystander(), two = start_bystander();
		ASSERT_EQ(watch_process(one, 7), 0);
		ASSERT_EQ(watch_process(two, 9), 0);
		EXPECT_EQ(told(50), std::vector<std::string> { "time" });
		EXPECT_EQ(signal_process(9, SIGKILL), 0);
		EXPECT_EQ(told(5000), std::vector<std::string> { "ended:9" });
		EXPECT_TRUE(process_has_ended(9));
		EXPECT_FALSE(process_has_ended(7));
		EXPECT_EQ(signal_process(9, SIGTERM), -1);
		ASSERT_EQ(waitpid(two, nullptr, 0), two);
		EXPECT_EQ(told(50), std::vector<std::string> { "time" });
		unwatch_process(9);
		unwatch_process(7);
		EXPECT_EQ(signal_process(7, 0), -1) << "unwatched";
		errno = 0;
		EXPECT_EQ(watch_process(two, 9), -1);
		EXPECT_EQ(errno, ESRCH);
		kill(one, SIGKILL);
	});
}

/*
 * A client's file: its creation, each write and its removal are told by
 * its tag, at once; another file in its directory is not, nor is a
 * channel that has nothing to say, until it says something or hangs up.
 */
TEST(Events, FilesAndChannelsAreToldWhenTheyChange)
{
	in_sandbox({}, [] {
		const std::string dir = "/run/dhclient/";
		int link[2];
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, link), 0);
		ASSERT_EQ(watch_file((dir + "a.pid").c_str(), 0), 0);
		ASSERT_EQ(watch_file((dir + "b.pid").c_str(), 1), 0);
		ASSERT_EQ(watch_channel(link[0], 1), 0);
		EXPECT_EQ(told(50), std::vector<std::string> { "time" });

		write_file(dir + "other.pid", "1\n");
		EXPECT_EQ(told(50), std::vector<std::string> { "time" });
		write_file(dir + "b.pid", "123\n");
		EXPECT_EQ(told(5000), std::vector<std::string> { "file:1" });
		int fd = open((dir + "b.pid").c_str(), O_WRONLY);
		ASSERT_NE(fd, -1);
		ASSERT_EQ(pwrite(fd, "4", 1, 0), 1);
		EXPECT_EQ(told(5000), std::vector<std::string> { "file:1" });
		close(fd);
		told(0);
		ASSERT_EQ(
		    rename((dir + "b.pid").c_str(), (dir + "a.pid").c_str()),
		    0);
		EXPECT_EQ(told(5000),
		    (std::vector<std::string> { "file:0", "file:1" }));
		ASSERT_EQ(unlink((dir + "a.pid").c_str()), 0);
		EXPECT_EQ(told(5000), std::vector<std::string> { "file:0" });

		ASSERT_EQ(write(link[1], "x", 1), 1);
		EXPECT_EQ(told(5000), std::vector<std::string> { "channel:1" });
		EXPECT_EQ(told(0), std::vector<std::string> { "channel:1" })
		    << "told until it is read";
		char byte;
		ASSERT_EQ(read(link[0], &byte, 1), 1);
		EXPECT_EQ(told(50), std::vector<std::string> { "time" });
		close(link[1]);
		EXPECT_EQ(told(5000), std::vector<std::string> { "channel:1" });
		unwatch_channel(1);
		EXPECT_EQ(told(50), std::vector<std::string> { "time" });
		close(link[0]);
		forget_watches();
	});
}

/*
 * A stop signal is held back outside the wait and told by it once, whether
 * it came before the wait or during it, and so is a later one.
 */
TEST(Events, AStopSignalIsToldOnceWhenItCame)
{
	in_sandbox({}, [] {
		const int stops[] = { SIGTERM, SIGHUP };
		ASSERT_EQ(catch_stop_signals(stops, 2), 0);
		EXPECT_FALSE(stop_signal_came());
		ASSERT_EQ(kill(getpid(), SIGHUP), 0);
		EXPECT_TRUE(stop_signal_came()) << "held back, and known";
		EXPECT_EQ(told(5000), std::vector<std::string> { "stop" });
		EXPECT_EQ(told(50), std::vector<std::string> { "time" });
		EXPECT_TRUE(stop_signal_came());

		pid_t self = getpid();
		pid_t sender = fork();
		if (sender == 0) {
			kill(self, SIGTERM);
			_exit(0);
		}
		EXPECT_EQ(told(5000), std::vector<std::string> { "stop" })
		    << "a second one is told too";
		waitpid(sender, nullptr, 0);
	});
}

/*
 * em0's link-local address as duplicate address detection leaves it: none
 * yet, still tentative (DAD runs long), failed (peer0 holds the same
 * address), usable; none, though a global address is there, or though
 * another interface whose name begins like em0's has a usable one; or
 * nothing to wait for: no em0, IPv6 off on it, or its IPv6 settings
 * unreadable.
 */
struct LinkLocal {
	const char *name;
	std::string setup;
	std::string awaited; /* shell condition, before asking */
	int ready;
};

void
PrintTo(const LinkLocal &l, std::ostream *os)
{
	*os << l.name;
}

class LinkLocalReady : public testing::TestWithParam<LinkLocal> { };

TEST_P(LinkLocalReady, TellsWhetherADhcpv6ClientCanBindToIt)
{
	if (access("/proc/sys/net/ipv6", F_OK) != 0)
		GTEST_SKIP() << "no IPv6 here";
	in_sandbox({}, [] {
		const LinkLocal l = GetParam();
		ASSERT_TRUE(
		    shell("ip link add em0 type veth peer name peer0 && "
			  "echo 1 >/proc/sys/net/ipv6/conf/em0/accept_dad && " +
			l.setup));
		if (!l.awaited.empty()) {
			ASSERT_TRUE(eventually(
			    [&] { return shell(l.awaited); }, 10000));
		}
		EXPECT_EQ(link_local_ready("em0"), l.ready);
	});
}

/* What `ip -6 addr show dev IF` shows, for an awaited condition. */
std::string
shows(const std::string &ifname, const std::string &pattern)
{
	return "ip -6 addr show dev " + ifname + " | grep -q '" + pattern + "'";
}

INSTANTIATE_TEST_SUITE_P(Platform, LinkLocalReady,
    testing::Values(
	LinkLocal { "NoneWithoutCarrier", "ip link set em0 up", "", 0 },
	LinkLocal { "Tentative",
	    "echo 50 >/proc/sys/net/ipv6/conf/em0/dad_transmits && "
	    "ip link set peer0 up && ip link set em0 up",
	    shows("em0", "fe80.*tentative"), 0 },
	LinkLocal { "Duplicated",
	    "echo 1 >/proc/sys/net/ipv6/conf/em0/addr_gen_mode && "
	    "ip addr add fe80::1/64 dev peer0 nodad && ip link set peer0 up && "
	    "ip link set em0 up && ip addr add fe80::1/64 dev em0",
	    shows("em0", "dadfailed"), 0 },
	LinkLocal { "Usable", "ip link set peer0 up && ip link set em0 up",
	    shows("em0", "fe80.*scope link $"), 1 },
	LinkLocal { "OnlyAGlobalAddress",
	    "echo 1 >/proc/sys/net/ipv6/conf/em0/addr_gen_mode && "
	    "ip link set peer0 up && ip link set em0 up && "
	    "ip addr add 2001:db8::5/64 dev em0 nodad",
	    shows("em0", "2001:db8::5.*scope global"), 0 },
	LinkLocal { "OnlyAnotherInterfaceNamedLikeIt",
	    "ip link add em01 type veth peer name peer01 && "
	    "ip link set peer01 up && ip link set em01 up && "
	    "ip link set em0 up",
	    shows("em01", "fe80.*scope link $"), 0 },
	LinkLocal { "NoSuchInterface", "ip link del em0", "", -1 },
	LinkLocal { "IPv6Off",
	    "echo 1 >/proc/sys/net/ipv6/conf/em0/disable_ipv6 && "
	    "ip link set peer0 up && ip link set em0 up",
	    "", -1 },
	LinkLocal { "IPv6SettingsUnreadable",
	    "ip link set peer0 up && ip link set em0 up && "
	    "mount -t tmpfs none /proc/sys/net/ipv6/conf",
	    "", -1 }),
    ByName());

} // namespace
