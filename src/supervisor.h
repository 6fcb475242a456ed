#ifndef BISTACK_SUPERVISOR_H
#define BISTACK_SUPERVISOR_H

#include <sys/types.h>

#include <time.h>

#include "pidfile.h"

/*
 * A client as the supervisor knows it: first hand, the process started for
 * it; then whatever PID it records in its own PID file.  Each PID is kept
 * only while it may still be the client, and dropped for good once found
 * gone: in a machine's uptime its number is handed out again.
 */
struct client {
	const char *pidfile;
	/* Its PID file at the last look; before, as an earlier run left it. */
	struct pidfile_state seen;
	pid_t started; /* the process started for it; 0 once retired */
	pid_t recorded; /* the PID it recorded last; 0 for none (any more) */
	/*
	 * The channel to its process, link[0] ours and link[1] the child's:
	 * ended at the exec, or answered with a byte if the process never
	 * became the client.
	 */
	int link[2];
	int waiting; /* its process has not been seen to exec yet */
	int gone; /* known gone: it never started, or has ended for good */
	int lost; /* the last look found no live process for it, */
	struct timespec lost_at; /* first at this time */
	pid_t signalled; /* the last PID sent SIGTERM by the stop */
};

/* What the entry hands to the supervisor besides own_pidfile. */
struct handover {
	int own_fd; /* own_pidfile, taken and locked */
	int ready[2]; /* the daemon's report to the starting process */
	struct client clients[2]; /* IPv4, then IPv6 */
};

/*
 * Detach into a daemon that records its PID in own_pidfile and waits for
 * SIGTERM, or for the IPv4 client to end on its own, and then stops both
 * clients.  Never returns: the calling process ends with 0 once the daemon
 * is ready, or else, having stopped what it started, with 1.
 */
[[noreturn]] void run_supervisor(const char *own_pidfile, struct handover *h);

/*
 * A start that failed after a client was started: stop the clients, remove
 * own_pidfile and exit 1.
 */
[[noreturn]] void abandon_start(const char *own_pidfile, struct handover *h);

#endif
