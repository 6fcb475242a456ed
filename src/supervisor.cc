/*
 * The detached supervisor: the daemon that stands for both clients under
 * the interface's DHCP-client PID file, and stops them on SIGTERM, or once
 * the IPv4 client has ended on its own.
 */

#include <sys/types.h>
#include <sys/socket.h>
/* <sys/errno.h> and the like rather than <errno.h>: see platform.h. */
#include <sys/errno.h>
#include <sys/fcntl.h>
#include <sys/poll.h>

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
 * The clients record their PIDs a few milliseconds after they start; a
 * stop that comes sooner waits for that, up to record_wait_ms, looking
 * every pause_ms.
 */
static const long record_wait_ms = 5000;
static const int pause_ms = 50;

static volatile sig_atomic_t term_requested;

/* What the daemon has learnt of the IPv4 client from its checks. */
struct watch {
	int seen; /* this run's client has recorded its PID */
	int suspect; /* the last check found it ended */
};

static void handle_sigterm(int);
static int let_go(int fds[], int n);
static int client_ended(const char *pidfile, const struct pidfile_state *before,
    struct watch *watch);
static int client_alive(pid_t pid);
static pid_t recorded_pid(
    const char *pidfile, const struct pidfile_state *before);
static int v6_client_started(int link);
static void stop_client(
    const char *pidfile, const struct pidfile_state *before);
static long elapsed_ms(const struct timespec *since);

void
run_supervisor(const char *own_pidfile, const char *v4_pidfile,
    const char *v6_pidfile, const struct handover *handover)
{
	int ready[2], own[3];
	char byte = 0;
	ssize_t n;
	int reported = 0, v4_ended = 0;
	struct watch watch = { 0, 0 };

	/*
	 * The starting process returns only once the daemon has recorded its
	 * PID and let go of the caller's descriptors, so that its status tells
	 * the truth and a caller finds the file in place.
	 */
	if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ready) == -1) {
		remove_pidfile(own_pidfile, handover->own_fd);
		exit(1);
	}

	switch (fork()) {
	case -1:
		remove_pidfile(own_pidfile, handover->own_fd);
		exit(1);
	case 0:
		break;
	default:
		/*
		 * The report, then the end of the channel: by then the daemon
		 * holds nothing of the caller's.
		 */
		close(ready[1]);
		while ((n = read(ready[0], &byte, 1)) != 0 &&
		    (n == 1 || errno == EINTR))
			reported |= n == 1;
		_exit(reported ? 0 : 1);
	}

	close(ready[0]);
	if (setsid() == -1)
		_exit(1);

	/* Caught before the PID file names us, so no SIGTERM is lost. */
	signal(SIGTERM, handle_sigterm);
	own[0] = handover->own_fd;
	own[1] = handover->v6_link;
	own[2] = ready[1];
	if (write_pidfile(own[0], getpid()) == -1 || let_go(own, 3) == -1) {
		remove_pidfile(own_pidfile, own[0]);
		exit(1);
	}

	/*
	 * The starting process may be gone already: without MSG_NOSIGNAL that
	 * would end the daemon by SIGPIPE.
	 */
	send(own[2], &byte, 1, MSG_NOSIGNAL);
	close(own[2]);

	while (!term_requested && !v4_ended) {
		sleep(1);
		v4_ended =
		    client_ended(v4_pidfile, &handover->v4_before, &watch);
	}

	/*
	 * An IPv6 client still waiting for its address gives up now, rather
	 * than start in the middle of the stop.
	 */
	shutdown(own[1], SHUT_WR);
	if (!v4_ended)
		stop_client(v4_pidfile, &handover->v4_before);
	if (v6_client_started(own[1]))
		stop_client(v6_pidfile, &handover->v6_before);
	remove_pidfile(own_pidfile, own[0]);
	exit(0);
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
	int copies[3], null, i;

	if (n > 3 || (null = open("/dev/null", O_RDWR | O_CLOEXEC)) == -1)
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
 * Whether the IPv4 client has ended on its own: its file gone after this
 * run's client had written it, or naming a process that has ended or is no
 * longer a dhclient.  Only two such findings in a row, a pause apart,
 * conclude it: the base client forks into the background and names its new
 * PID a moment after the old one has ended.  What cannot be told (a file
 * not yet written, or unreadable) concludes nothing.
 */
static int
client_ended(const char *pidfile, const struct pidfile_state *before,
    struct watch *watch)
{
	struct pidfile_state now;
	int ended = 0, concluded;

	read_pidfile(pidfile, &now);
	if (!now.exists) {
		ended = watch->seen;
	} else if (now.pid > 0 && !same_pidfile(&now, before)) {
		watch->seen = 1;
		ended = !client_alive(now.pid);
	}
	concluded = ended && watch->suspect;
	watch->suspect = ended;
	return concluded;
}

/*
 * A client is alive unless it is known to be gone: no such process, or its
 * number now held by a program of another name.
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
 * The PID that this run's client recorded in pidfile.  0 while it has
 * recorded none: the file is missing, empty, or as it was before the
 * client started (left by an earlier run, and never used to signal
 * anything).  -1 when it holds no usable PID.
 */
static pid_t
recorded_pid(const char *pidfile, const struct pidfile_state *before)
{
	struct pidfile_state now;

	read_pidfile(pidfile, &now);
	if (!now.exists || same_pidfile(&now, before))
		return 0;
	return now.pid;
}

/*
 * Whether the IPv6 client was started.  Its process, told to stop waiting,
 * answers with a byte if it gave up; the channel ends without one once it
 * has become the client, or has failed to.  No answer in time counts as a
 * start.
 */
static int
v6_client_started(int link)
{
	struct pollfd answer = { link, POLLIN, 0 };
	struct timespec asked;
	char byte;
	int ready;

	clock_gettime(CLOCK_MONOTONIC, &asked);
	while ((ready = poll(&answer, 1, pause_ms)) == 0 ||
	    (ready == -1 && errno == EINTR))
		if (elapsed_ms(&asked) >= record_wait_ms)
			return 1;
	return !(ready == 1 && read(link, &byte, 1) == 1);
}

/*
 * Signal the client that this run started, by the PID it recorded in
 * pidfile, once it has.  A file that stays unwritten, or holds no usable
 * PID, ends the daemon: it never signals 0 (its own group), a negative
 * number (a group, or every process) or an earlier run's PID.  A PID that
 * is gone, or now held by a program of another name, is left alone.
 */
static void
stop_client(const char *pidfile, const struct pidfile_state *before)
{
	struct timespec asked;
	struct timespec pause = { 0, pause_ms * 1000000L };
	pid_t pid;

	clock_gettime(CLOCK_MONOTONIC, &asked);
	while ((pid = recorded_pid(pidfile, before)) == 0) {
		if (elapsed_ms(&asked) >= record_wait_ms)
			exit(1);
		nanosleep(&pause, nullptr);
	}
	if (pid == -1)
		exit(1);
	if (client_alive(pid))
		kill(pid, SIGTERM);
}

static long
elapsed_ms(const struct timespec *since)
{
	struct timespec now;

	clock_gettime(CLOCK_MONOTONIC, &now);
	return (now.tv_sec - since->tv_sec) * 1000 +
	    (now.tv_nsec - since->tv_nsec) / 1000000;
}
