/*
 * bistack-lease: stand for an interface's IPv4 and IPv6 DHCP clients as
 * its one DHCP client.  The entry checks the command line, forms the run
 * paths, starts both clients and hands over to the supervisor.
 */

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "supervisor.h"

static const char usage_line[] = "usage: bistack-lease ifname\n";
static const char spawn_failure[] = "Failed to spawn %s\n";

static const char own_template[] = "/var/run/dhclient/dhclient.%s.pid";
static const char v4_template[] = "/var/run/dhclient/dhclient.%s.4.pid";
static const char v6_template[] = "/var/run/dhclient/dhclient.%s.6.pid";

static const char v4_client[] = "/sbin/dhclient";
static const char v6_client[] = "/usr/local/sbin/dhclient";

static void launch_client(const char *path, const char *const argv[]);

int
main(int argc, char *argv[])
{
	char *own_pidfile, *v4_pidfile, *v6_pidfile;
	char *ifname;

	if (argc != 2) {
		fwrite(usage_line, 1, sizeof(usage_line) - 1, stderr);
		exit(1);
	}
	ifname = argv[1];

	/* glibc leaves the pointer undefined on failure: test the result. */
	if (asprintf(&own_pidfile, own_template, ifname) < 0 ||
	    asprintf(&v4_pidfile, v4_template, ifname) < 0 ||
	    asprintf(&v6_pidfile, v6_template, ifname) < 0)
		exit(1);

	const char *v4_argv[] = { v4_client, "-p", v4_pidfile, ifname,
		nullptr };
	const char *v6_argv[] = { v6_client, "-6", "-nw", "-cf", "/dev/null",
		"-pf", v6_pidfile, ifname, nullptr };

	launch_client(v4_client, v4_argv);
	launch_client(v6_client, v6_argv);
	run_supervisor(own_pidfile, v4_pidfile, v6_pidfile);
}

/*
 * Start one client as a child of this process.  Its process ID is not kept:
 * the client records it in its own PID file, which is how it is reached
 * later.  A client that cannot be run is reported by the child alone; the
 * supervisor carries on without it.
 */
static void
launch_client(const char *path, const char *const argv[])
{
	switch (fork()) {
	case -1:
		exit(1);
	case 0:
		/* execv only takes the vector as non-const for C's sake. */
		execv(path, const_cast<char *const *>(argv));
		fprintf(stderr, spawn_failure, path);
		exit(1);
	default:
		return;
	}
}
