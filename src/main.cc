/*
 * bistack-lease: stand for an interface's IPv4 and IPv6 DHCP clients as
 * its one DHCP client.  The entry checks the command line, forms the run
 * paths, takes the interface's PID file, starts both clients and hands over
 * to the supervisor.
 */

#include <sys/types.h>
#include <sys/socket.h>
#include <net/if.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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

static int open_standard_descriptors(void);
static int prepare_client(struct client *c, const char *pidfile);
static int launch_client(const char *path, const char *const argv[],
    const char *await_ifname, struct client *self, const struct handover *h);
static void close_ours(const struct handover *h, const struct client *self);
static void await_link_local(const char *ifname, int link);

int
main(int argc, char *argv[])
{
	char *own_pidfile, *v4_pidfile, *v6_pidfile;
	char *ifname;
	struct handover h;
	struct client *v4 = &h.clients[0], *v6 = &h.clients[1];
	sigset_t none;

	/*
	 * The name is the clients' last argument: one that begins with "-"
	 * would reach them as an option ("-r" releases another interface's
	 * leases).  An empty one, or one too long for the system's interface
	 * names, can name no interface.
	 */
	if (argc != 2 || argv[1][0] == '-' || argv[1][0] == '\0' ||
	    strlen(argv[1]) >= IF_NAMESIZE) {
		fwrite(usage_line, 1, sizeof(usage_line) - 1, stderr);
		exit(1);
	}
	ifname = argv[1];

	/* glibc leaves the pointer undefined on failure: test the result. */
	if (open_standard_descriptors() == -1 ||
	    asprintf(&own_pidfile, own_template, ifname) < 0 ||
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
	 * SIGCHLD is at its default action too: ignored, it would let the
	 * system reap a client the moment it ends, before the daemon has it
	 * watched, and hand its number to another process.
	 */
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
	signal(SIGTERM, SIG_DFL);
	signal(SIGCHLD, SIG_DFL);

	/*
	 * Everything that can fail is taken before any client starts, the PID
	 * file last: one daemon per interface, locked, so that a second start,
	 * or a run directory that cannot hold the file, fails with nothing
	 * started.  What the clients' files hold now is an earlier run's.
	 */
	if (prepare_client(v4, v4_pidfile) == -1 ||
	    prepare_client(v6, v6_pidfile) == -1 ||
	    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, h.ready) == -1 ||
	    (h.own_fd = take_pidfile(own_pidfile)) == -1)
		exit(1);

	if (launch_client(v4_client, v4_argv, nullptr, v4, &h) == -1) {
		remove_pidfile(own_pidfile, h.own_fd);
		exit(1);
	}
	if (launch_client(v6_client, v6_argv, ifname, v6, &h) == -1)
		abandon_start(own_pidfile, &h);
	run_supervisor(own_pidfile, &h);
}

/*
 * Descriptors 0, 1 and 2 point somewhere (/dev/null where the caller closed
 * them) before anything else is opened, so that no file or socket of ours
 * is taken for standard error, by us or by a client.
 */
static int
open_standard_descriptors(void)
{
	int fd;

	while ((fd = open("/dev/null", O_RDWR)) != -1 && fd <= 2)
		;
	if (fd == -1)
		return -1;
	close(fd);
	return 0;
}

/* A client not started yet: its PID file as it is, and its channel. */
static int
prepare_client(struct client *c, const char *pidfile)
{
	memset(c, 0, sizeof(*c));
	c->pidfile = pidfile;
	read_pidfile(pidfile, &c->before);
	c->seen = c->before;
	for (struct watch &w : c->procs)
		w.fd = -1;
	c->waiting = 1;
	return socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, c->link);
}

/*
 * Start one client as a child of this process, and keep the child's PID:
 * until the client records one of its own, that process is the client.  A
 * client that cannot be run is reported by the child, which then says so
 * on its channel; the supervisor carries on without it.  With await_ifname,
 * the child first waits for that interface's link-local address.  Returns
 * -1 if no child can be made.
 */
static int
launch_client(const char *path, const char *const argv[],
    const char *await_ifname, struct client *self, const struct handover *h)
{
	pid_t pid = fork();

	if (pid == 0) {
		close_ours(h, self);
		if (await_ifname != nullptr) {
			/*
			 * The caller's terminal may hang up meanwhile (ssh
			 * host service dhclient restart em0): this process is
			 * in the caller's process group, but the client it
			 * starts keeps what it inherited.
			 */
			struct sigaction ignore, hangup;
			memset(&ignore, 0, sizeof(ignore));
			ignore.sa_handler = SIG_IGN;
			sigaction(SIGHUP, &ignore, &hangup);
			await_link_local(await_ifname, self->link[1]);
			sigaction(SIGHUP, &hangup, nullptr);
		}
		/* execv only takes the vector as non-const for C's sake. */
		execv(path, const_cast<char *const *>(argv));
		fprintf(stderr, spawn_failure, path);
		send(self->link[1], "", 1, MSG_NOSIGNAL);
		exit(1);
	}
	close(self->link[1]);
	self->link[1] = -1;
	if (pid == -1) {
		self->waiting = 0;
		self->gone = 1;
		return -1;
	}
	self->procs[started_slot].pid = pid;
	return 0;
}

/*
 * A client's child holds nothing of the supervisor's but its own end of
 * its channel: not the PID file's lock, nor what tells the starting
 * process or the daemon that something has ended.
 */
static void
close_ours(const struct handover *h, const struct client *self)
{
	close(h->own_fd);
	close(h->ready[0]);
	close(h->ready[1]);
	for (const struct client &c : h->clients) {
		close(c.link[0]);
		if (&c != self && c.link[1] != -1)
			close(c.link[1]);
	}
}

/*
 * A DHCPv6 client binds to the interface's link-local address, which the
 * kernel refuses while duplicate address detection runs on it, as it does
 * in the first seconds after the interface comes up at boot: a client
 * started then ends at once.  So the IPv6 client's process waits until the
 * address is usable, up to a bound, and then starts the client.  It gives
 * up, with a byte to say so, when the supervisor ends the channel: it is
 * stopping, or gone.
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
