/*
 * The system-specific questions, asked directly on Linux: a process's name
 * and children, and whether an interface's link-local address is usable.
 */

#include <signal.h>
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
    [](const testing::TestParamInfo<Name> &info) { return info.param.name; });

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
    [](const testing::TestParamInfo<LinkLocal> &info) {
	    return info.param.name;
    });

} // namespace
