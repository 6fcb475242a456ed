/*
 * bistack-lease: stand for an interface's IPv4 and IPv6 DHCP clients as
 * its one DHCP client.  The entry checks the command line, forms the run
 * paths, takes the interface's PID file, starts both clients and hands over
 * to the supervisor.
 */

#include <sys/types.h>
#include <sys/socket.h>
/* <sys/errno.h> and the like rather than <errno.h>: see platform.h. */
#include <sys/errno.h>
#include <sys/poll.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "pidfile.h"
#include "platform.h"
#include "supervisor.h"

static const char usage_line[] = "usage: bistack-lease ifname\n";
static const char spawn_failure[] = "Failed to spawn %s\n";

static const char own_template[] = "/var/run/dhclient/dhclient.%s.pid";
static const char v4_template[] = "/var/run/dhclient/dhclient.%s.4.pid";
static const char v6_template[] = "/var/run/dhclient/dhclient.%s.6.pid";

static const char v4_client[] = "/sbin/dhclient";
static const char v6_client[] = "/usr/local/sbin/dhclient";

/*
 * How long the IPv6 client waits for its link-local address: long enough
 * for duplicate address detection (a second or two) on a slow link, looked
 * at every link_local_check_ms.
 */
static const int link_local_checks = 120;
static const int link_local_check_ms = 250;

static int launch_client(const char *path, const char *const argv[],
    const char *await_ifname, const int link[2], int own_fd);
static void await_link_local(const char *ifname, int link);

int
main(int argc, char *argv[])
{
	char *own_pidfile, *v4_pidfile, *v6_pidfile;
	char *ifname;
	struct handover handover;
	int link[2];
	sigset_t none;

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

	/*
	 * Both clients must end on SIGTERM, whatever their caller blocked or
	 * ignored: they start with no signal blocked and SIGTERM at its
	 * default action, and so does the daemon until it catches SIGTERM.
	 */
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
	signal(SIGTERM, SIG_DFL);

	/*
	 * One daemon per interface: its PID file is taken, and locked, before
	 * any client starts, so that a second start, or a run directory that
	 * cannot hold the file, fails with nothing started.
	 */
	if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link) == -1 ||
	    (handover.own_fd = take_pidfile(own_pidfile)) == -1)
		exit(1);
	handover.v6_link = link[0];
	/* Whatever the clients' files hold now is an earlier run's. */
	read_pidfile(v4_pidfile, &handover.v4_before);
	read_pidfile(v6_pidfile, &handover.v6_before);

	if (launch_client(v4_client, v4_argv, nullptr, link, -1) == -1 ||
	    launch_client(v6_client, v6_argv, ifname, link, handover.own_fd) ==
		-1) {
		remove_pidfile(own_pidfile, handover.own_fd);
		exit(1);
	}
	close(link[1]);
	run_supervisor(own_pidfile, v4_pidfile, v6_pidfile, &handover);
}

/*
 * Start one client as a child of this process.  Its process ID is not kept:
 * the client records it in its own PID file, which is how it is reached
 * later.  A client that cannot be run is reported by the child alone; the
 * supervisor carries on without it.  With await_ifname, the child first
 * waits for that interface's link-local address, holding nothing of the
 * daemon's but its own end of link.  Returns -1 if no child can be made.
 */
static int
launch_client(const char *path, const char *const argv[],
    const char *await_ifname, const int link[2], int own_fd)
{
	switch (fork()) {
	case -1:
		return -1;
	case 0:
		if (await_ifname != nullptr) {
			close(own_fd);
			close(link[0]);
			await_link_local(await_ifname, link[1]);
		}
		/* execv only takes the vector as non-const for C's sake. */
		execv(path, const_cast<char *const *>(argv));
		fprintf(stderr, spawn_failure, path);
		exit(1);
	default:
		return 0;
	}
}

/*
 * A DHCPv6 client binds to the interface's link-local address, which the
 * kernel refuses while duplicate address detection runs on it, as it does
 * in the first seconds after the interface comes up at boot: a client
 * started then ends at once.  So the IPv6 client's process waits until the
 * address is usable, up to a bound, and then starts the client.  It gives
 * up, with a byte to say so, when the daemon ends the channel: the daemon
 * is stopping, or gone.
 */
static void
await_link_local(const char *ifname, int link)
{
	struct pollfd stop = { link, POLLIN, 0 };

	for (int checks = 0;
	     checks < link_local_checks && link_local_ready(ifname) == 0;
	     checks++) {
		int ready = poll(&stop, 1, link_local_check_ms);
		if (ready == 0 || (ready == -1 && errno == EINTR))
			continue;
		send(link, "", 1, MSG_NOSIGNAL);
		exit(0);
	}
}
