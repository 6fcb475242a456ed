/*
 * The detached supervisor: the daemon that stands for both clients under
 * the interface's DHCP-client PID file, and stops them on SIGTERM, or once
 * the IPv4 client has ended on its own.
 */

#include <sys/types.h>
#include <sys/socket.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "pidfile.h"
#include "platform.h"
#include "supervisor.h"

/* The command name of both clients, whatever their paths. */
static const char client_name[] = "dhclient";

/*
 * A client that forks into the background records its new PID within
 * milliseconds; one found without a live process is given record_wait_ms
 * for that before it counts as gone.  A stop looks every pause_ms, and
 * takes stop_wait_ms at the most.
 */
static const long record_wait_ms = 250;
static const long stop_wait_ms = 1000;
static const int pause_ms = 20;

static volatile sig_atomic_t term_requested;

static void handle_sigterm(int);
static int let_go(int fds[], int n);
static pid_t look(struct client *c);
static void hear_from(struct client *c);
static int client_alive(pid_t pid);
static int stop_clients(struct client clients[2]);
static int stop_client(struct client *c);
static void stop_children(pid_t parent);
static long elapsed_ms(const struct timespec *since);

void
run_supervisor(const char *own_pidfile, struct handover *h)
{
	struct client *v4 = &h->clients[0], *v6 = &h->clients[1];
	int own[4];
	char byte = 0;
	ssize_t n;
	int reported = 0, status;

	/*
	 * The starting process returns only once the daemon has recorded its
	 * PID and let go of the caller's descriptors, so that its status tells
	 * the truth and a caller finds the file in place.  Without that report
	 * it is the one to stop the clients.
	 */
	switch (fork()) {
	case -1:
		abandon_start(own_pidfile, h);
	case 0:
		break;
	default:
		/*
		 * The report, then the end of the channel: by then the daemon
		 * holds nothing of the caller's.
		 */
		close(h->ready[1]);
		while ((n = read(h->ready[0], &byte, 1)) != 0 &&
		    (n == 1 || errno == EINTR))
			reported |= n == 1;
		if (!reported)
			abandon_start(own_pidfile, h);
		_exit(0);
	}

	/*
	 * A daemon that fails before its report leaves the clients to the
	 * starting process, which stops them.
	 */
	close(h->ready[0]);
	if (setsid() == -1)
		_exit(1);

	/* Caught before the PID file names us, so no SIGTERM is lost. */
	signal(SIGTERM, handle_sigterm);
	own[0] = h->own_fd;
	own[1] = v4->link[0];
	own[2] = v6->link[0];
	own[3] = h->ready[1];
	if (write_pidfile(own[0], getpid()) == -1 || let_go(own, 4) == -1)
		exit(1);
	v4->link[0] = own[1];
	v6->link[0] = own[2];

	/*
	 * The starting process may be gone already: without MSG_NOSIGNAL that
	 * would end the daemon by SIGPIPE.
	 */
	send(own[3], &byte, 1, MSG_NOSIGNAL);
	close(own[3]);

	/*
	 * Once a second, a look at both clients.  The IPv4 client has ended
	 * on its own when two looks in a row find no live process for it: the
	 * base client forks into the background and records its new PID a
	 * moment after the old one has ended.
	 */
	while (!term_requested) {
		sleep(1);
		int v4_lost = v4->lost || v4->gone;
		if (look(v4) == 0 && v4_lost)
			break;
		look(v6);
	}

	status = stop_clients(h->clients);
	remove_pidfile(own_pidfile, own[0]);
	exit(status == 0 ? 0 : 1);
}

void
abandon_start(const char *own_pidfile, struct handover *h)
{
	stop_clients(h->clients);
	remove_pidfile(own_pidfile, h->own_fd);
	exit(1);
}

static void
handle_sigterm(int)
{
	term_requested = 1;
}

/*
 * Hold nothing of the caller's: standard input, output and error on
 * /dev/null, and of all other descriptors only fds[0..n-1], which become
 * 3, 4, ... in that order.  Copies are made above that range first, so
 * that none of ours is lost where it already sits in it.
 */
static int
let_go(int fds[], int n)
{
	int copies[4], null, i;

	if (n > 4 || (null = open("/dev/null", O_RDWR | O_CLOEXEC)) == -1)
		return -1;
	for (i = 0; i < n; i++)
		if ((copies[i] = fcntl(fds[i], F_DUPFD_CLOEXEC, 3 + n)) == -1)
			return -1;
	for (i = 0; i < 3; i++)
		if (dup2(null, i) == -1)
			return -1;
	for (i = 0; i < n; i++) {
		if (dup2(copies[i], 3 + i) == -1)
			return -1;
		fds[i] = 3 + i;
	}
	closefrom(3 + n);
	return 0;
}

/*
 * Look at a client as it is now and return its live process: the PID it
 * recorded last, or else the process started for it.  0 when it has none:
 * its process has not become the client yet, it has ended, or it is
 * between a fork into the background and the record of its new PID.  A
 * record counts once this run's client has made it (the file differs from
 * the last look) and it names a live dhclient; then the started process is
 * no longer the client, unless the record names it.
 */
static pid_t
look(struct client *c)
{
	struct pidfile_state now;
	pid_t live;
	int just_started = 0;

	if (c->gone)
		return 0;
	if (c->waiting) {
		hear_from(c);
		if (c->waiting || c->gone)
			return 0;
		/*
		 * The kernel lets go of the process's descriptors a moment
		 * before it gives it the client's name: that name is asked
		 * from the next look on.
		 */
		just_started = 1;
	}
	read_pidfile(c->pidfile, &now);
	if (now.pid > 0 && !same_pidfile(&now, &c->seen) &&
	    client_alive(now.pid)) {
		c->recorded = now.pid;
		if (now.pid != c->started)
			c->started = 0;
	}
	c->seen = now;
	if (c->recorded != 0 && !client_alive(c->recorded))
		c->recorded = 0;
	if (c->started != 0 && !just_started && !client_alive(c->started))
		c->started = 0;

	live = c->recorded != 0 ? c->recorded : just_started ? 0 : c->started;
	if (live != 0 || just_started) {
		c->lost = 0;
	} else if (!c->lost) {
		c->lost = 1;
		clock_gettime(CLOCK_MONOTONIC, &c->lost_at);
	}
	return live;
}

/*
 * Whether the client's process has become the client: the channel ends at
 * its exec, and it says with a byte that it never will (it could not be
 * executed, or it gave up waiting).
 */
static void
hear_from(struct client *c)
{
	struct pollfd answer = { c->link[0], POLLIN, 0 };
	char byte;
	ssize_t n;

	if (poll(&answer, 1, 0) != 1 || (n = read(c->link[0], &byte, 1)) == -1)
		return;
	c->waiting = 0;
	if (n == 1) {
		c->started = 0;
		c->gone = 1;
	}
}

/*
 * A PID is a live client unless it is known not to be: no such process, or
 * its number now held by a program of another name.
 */
static int
client_alive(pid_t pid)
{
	char name[64];

	switch (process_name(pid, name, sizeof(name))) {
	case 0:
		return 0;
	case 1:
		return strcmp(name, client_name) == 0;
	default:
		return 1;
	}
}

/*
 * SIGTERM to each client's live process, IPv4 first, looking again every
 * pause until each is settled: reached by a PID it recorded, or known gone.
 * A client reached only by its started process is looked at on, as it may
 * have forked into the background just before; stop_wait_ms bounds it all.
 * Returns 0 when each client was reached or is known gone, -1 when one
 * could not be reached.
 */
static int
stop_clients(struct client clients[2])
{
	struct timespec asked;
	struct timespec pause = { 0, pause_ms * 1000000L };
	int i;

	clock_gettime(CLOCK_MONOTONIC, &asked);
	/* A process still waiting to become the client gives up now. */
	for (i = 0; i < 2; i++)
		if (clients[i].waiting)
			shutdown(clients[i].link[0], SHUT_WR);
	for (;;) {
		int settled = stop_client(&clients[0]);
		settled &= stop_client(&clients[1]);
		if (settled || elapsed_ms(&asked) >= stop_wait_ms)
			break;
		nanosleep(&pause, nullptr);
	}
	for (i = 0; i < 2; i++)
		if (!clients[i].gone && clients[i].signalled == 0)
			return -1;
	return 0;
}

/*
 * One look at a client during the stop: SIGTERM to its live process unless
 * that has had it.  Returns 1 once it is settled.  It never signals 0 (its
 * own group), a negative number (a group, or every process), an earlier
 * run's PID or a program of another name.
 */
static int
stop_client(struct client *c)
{
	pid_t pid;

	if (c->gone || (c->signalled != 0 && c->signalled == c->recorded))
		return 1;
	if ((pid = look(c)) != 0) {
		if (pid != c->signalled) {
			if (pid == c->started && c->recorded == 0)
				stop_children(pid);
			if (kill(pid, SIGTERM) == 0)
				c->signalled = pid;
		}
		return pid == c->signalled && pid == c->recorded;
	}
	if (c->lost && elapsed_ms(&c->lost_at) >= record_wait_ms)
		c->gone = 1;
	return c->gone;
}

/*
 * A client that has recorded nothing may be at work in a child of the
 * process started for it: the ISC client forks at once, and its first
 * process only waits until the child has a lease.  Its children named
 * dhclient are the client too, and are signalled before it, while they are
 * still its children.
 */
static void
stop_children(pid_t parent)
{
	pid_t children[8];
	int n = child_processes(parent, children, 8);

	for (int i = 0; i < n; i++)
		if (client_alive(children[i]))
			kill(children[i], SIGTERM);
}

static long
elapsed_ms(const struct timespec *since)
{
	struct timespec now;

	clock_gettime(CLOCK_MONOTONIC, &now);
	return (now.tv_sec - since->tv_sec) * 1000 +
	    (now.tv_nsec - since->tv_nsec) / 1000000;
}
