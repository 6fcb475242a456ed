/*
 * The example /etc/dhclient-enter-hooks: the ISC client's published
 * FreeBSD script, run for each DHCPv6 reason with the hook in place, hands
 * name servers to resolvconf under IF.dhcp6 and never replaces
 * /etc/resolv.conf; for the base client's reasons the hook changes
 * nothing.  In a sandbox whose /etc is an overlay of the test's own, with
 * a stand-in resolvconf, and ifconfig, route, arp and logger that only
 * record their arguments.
 */

#include <unistd.h>

#include <gtest/gtest.h>

#include "sandbox.h"

namespace {

const std::string script = ISC_SCRIPT_PATH;

/*
 * The published script, fetched from Debian's source package of the ISC
 * DHCP suite the first time a test needs it.  A test that cannot have it
 * fails: a suite that skips it would pass without testing the hook.
 */
bool
have_isc_script()
{
	return access(script.c_str(), R_OK) == 0 ||
	    shell("sh " FETCH_ISC_SCRIPT_PATH " " + script);
}
const std::string dns_log = "/run/test/dns.log";
const std::string commands_log = "/run/test/commands.log";
const std::string resolv_conf = "nameserver 127.0.0.1\nsearch lan\n";

/*
 * Lay out /etc (an overlay: the test's own resolv.conf, and the hook when
 * with_hook), /sbin/resolvconf and the recording commands.  "" when done.
 */
std::string
lay_out_dns(bool with_hook)
{
	if (!shell("mkdir -p /run/test/etc.up /run/test/etc.work /run/test/bin "
		   "&& o=lowerdir=/etc,upperdir=/run/test/etc.up,workdir="
		   "/run/test/etc.work && { mount -t overlay etc -o $o /etc "
		   "|| mount -t overlay etc -o $o,userxattr /etc; }"))
		return "no overlay on /etc";
	write_file("/etc/resolv.conf", resolv_conf);
	if (with_hook &&
	    !shell(
		std::string("cp ") + HOOK_PATH + " /etc/dhclient-enter-hooks"))
		return "cannot put the hook in place";
	write_file("/sbin/resolvconf",
	    "#!/bin/sh\necho \"resolvconf $*\" >>" + dns_log +
		"\ncase \" $* \" in *\" -a \"*) cat >>" + dns_log +
		" ;; esac\n");
	for (const char *command : { "ifconfig", "route", "arp", "logger" })
		write_file(std::string("/run/test/bin/") + command,
		    std::string("#!/bin/sh\necho \"") + command + " $*\" >>" +
			commands_log + "\n");
	if (!shell("chmod 755 /sbin/resolvconf /run/test/bin/* && mount "
		   "--bind /run/test/bin/logger /usr/bin/logger"))
		return "cannot lay out the commands";
	return "";
}

/*
 * Run sh FILE with only PATH and env in its environment, its standard
 * error to errors: its status.
 */
int
run_script(const std::string &file, const std::string &env,
    const std::string &errors = "/dev/null")
{
	return system(("env -i PATH=/run/test/bin:/usr/bin:/bin " + env +
	    " sh " + file + " >/dev/null 2>" + errors)
			  .c_str());
}

/* A DHCPv6 event, and what resolvconf is to be told of it. */
struct Event {
	const char *name;
	std::string env;
	std::string told; /* dns.log afterwards */
};

void
PrintTo(const Event &e, std::ostream *os)
{
	*os << e.name;
}

const std::string servers = "new_dhcp6_name_servers='2001:db8::53 fe80::1' "
			    "new_dhcp6_domain_search='example.org.' ";
const std::string registered = "resolvconf -a em0.dhcp6\n"
			       "search example.org.\n"
			       "nameserver 2001:db8::53\n"
			       "nameserver fe80::1%em0\n";
const std::string withdrawn = "resolvconf -f -d em0.dhcp6\n";
const std::string address = "new_ip6_address=2001:db8::5 "
			    "new_ip6_prefixlen=128 ";
const std::string old_address = "old_ip6_address=2001:db8::5 "
				"old_ip6_prefixlen=128 ";

class Dhcpv6Event : public testing::TestWithParam<Event> { };

TEST_P(Dhcpv6Event, GoesToResolvconfAndResolvConfIsLeftAlone)
{
	ASSERT_TRUE(have_isc_script()) << "no ISC script at " << script;
	in_sandbox({}, [] {
		const Event e = GetParam();
		ASSERT_EQ(lay_out_dns(true), "");
		EXPECT_EQ(run_script(
			      script, "interface=em0 dad_wait_time=0 " + e.env),
		    0);
		EXPECT_EQ(read_file(dns_log).value_or(""), e.told);
		EXPECT_EQ(read_file("/etc/resolv.conf"), resolv_conf);
		EXPECT_FALSE(exists("/etc/resolv.conf.dhclient6"));
	});
}

INSTANTIATE_TEST_SUITE_P(Hook, Dhcpv6Event,
    testing::Values(
	Event { "Bound6", "reason=BOUND6 " + address + servers, registered },
	Event { "Bound6WithoutServers", "reason=BOUND6 " + address, withdrawn },
	Event { "Renew6ServersChanged",
	    "reason=RENEW6 old_dhcp6_name_servers=2001:db8::54 " + servers,
	    registered },
	Event { "Renew6Unchanged",
	    "reason=RENEW6 old_dhcp6_name_servers='2001:db8::53 fe80::1' "
	    "old_dhcp6_domain_search=example.org. " +
		servers,
	    "" },
	Event { "Rebind6SearchChanged",
	    "reason=REBIND6 old_dhcp6_name_servers='2001:db8::53 fe80::1' "
	    "old_dhcp6_domain_search=example.com. " +
		servers,
	    registered },
	Event { "Expire6", "reason=EXPIRE6 " + old_address, withdrawn },
	Event { "Release6", "reason=RELEASE6 " + old_address, withdrawn },
	Event { "Stop6", "reason=STOP6 " + old_address, withdrawn },
	Event { "Bound6UpperCaseLinkLocalServer",
	    "reason=BOUND6 " + address +
		"new_dhcp6_name_servers='FE80::1' "
		"new_dhcp6_domain_search='example.org.' ",
	    "resolvconf -a em0.dhcp6\nsearch example.org.\n"
	    "nameserver FE80::1%em0\n" },
	Event { "Bound6WithoutSearch",
	    "reason=BOUND6 " + address +
		"new_dhcp6_name_servers='2001:db8::53' "
		"new_dhcp6_domain_search='' ",
	    "resolvconf -a em0.dhcp6\nnameserver 2001:db8::53\n" },
	Event { "Preinit6", "reason=PREINIT6", "" },
	Event { "Depref6", "reason=DEPREF6 " + address, "" }),
    ByName());

/*
 * On a host without resolvconf the hook does nothing, silently, and the
 * event succeeds.
 */
TEST(Hook, WithoutResolvconfItLeavesResolvConfAloneAndSucceeds)
{
	ASSERT_TRUE(have_isc_script()) << "no ISC script at " << script;
	in_sandbox({}, [] {
		ASSERT_EQ(lay_out_dns(true), "");
		ASSERT_EQ(unlink("/sbin/resolvconf"), 0);
		for (const char *reason : { "BOUND6", "EXPIRE6" }) {
			SCOPED_TRACE(reason);
			EXPECT_EQ(run_script(script,
				      "interface=em0 dad_wait_time=0 reason=" +
					  std::string(reason) + " " + address +
					  old_address + servers,
				      "/run/test/errors"),
			    0);
			EXPECT_EQ(read_file("/etc/resolv.conf"), resolv_conf);
			EXPECT_EQ(read_file("/run/test/errors"), "");
		}
	});
}

/* Without the hook the published script replaces resolv.conf. */
TEST(Hook, WithoutItTheIscScriptReplacesResolvConf)
{
	ASSERT_TRUE(have_isc_script()) << "no ISC script at " << script;
	in_sandbox({}, [] {
		ASSERT_EQ(lay_out_dns(false), "");
		EXPECT_EQ(run_script(script,
			      "interface=em0 dad_wait_time=0 reason=BOUND6 " +
				  address + servers),
		    0);
		EXPECT_EQ(read_file("/etc/resolv.conf"),
		    "search example.org.\nnameserver 2001:db8::53\n"
		    "nameserver fe80::1%em0\n");
	});
}

/*
 * The base client's script sources the same file for its own events: the
 * hook leaves its make_resolv_conf, its exit_status and its variables as
 * they were, and tells resolvconf nothing.
 */
class BaseClientEvent : public testing::TestWithParam<std::string> { };

TEST_P(BaseClientEvent, IsLeftAsItWas)
{
	in_sandbox({}, [] {
		ASSERT_EQ(lay_out_dns(true), "");
		write_file("/run/test/base",
		    "make_resolv_conf() { echo base; }\n"
		    "exit_status=0\n"
		    "set >/run/test/before\n"
		    ". /etc/dhclient-enter-hooks\n"
		    "set >/run/test/after\n"
		    "make_resolv_conf >/run/test/called\n"
		    "exit $exit_status\n");
		EXPECT_EQ(run_script("/run/test/base",
			      "interface=em0 reason=" + GetParam() +
				  " new_domain_name_servers=192.0.2.53"),
		    0);
		EXPECT_EQ(read_file("/run/test/called"),
		    std::optional<std::string>("base\n"));
		EXPECT_EQ(read_file("/run/test/after"),
		    read_file("/run/test/before"));
		EXPECT_EQ(read_file(dns_log), std::nullopt);
	});
}

INSTANTIATE_TEST_SUITE_P(Hook, BaseClientEvent,
    testing::Values("PREINIT", "BOUND", "RENEW", "REBIND", "REBOOT", "EXPIRE",
	"FAIL", "RELEASE", "STOP", "TIMEOUT", "ARPCHECK", "ARPSEND", "MEDIUM"),
    ByName());

} // namespace
