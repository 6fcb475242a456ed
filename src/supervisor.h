#ifndef BISTACK_SUPERVISOR_H
#define BISTACK_SUPERVISOR_H

#include <sys/types.h>

#include <time.h>

#include "pidfile.h"
#include "platform.h"

/*
 * Where a client's processes are kept: the process started for it; the one
 * it recorded last in its PID file, where that is another; and, during a
 * stop, the dhclient children of the started process, as many as there is
 * room for.
 */
enum { started_slot, recorded_slot, first_child_slot, process_slots = 16 };

/*
 * A client as the supervisor knows it: first hand, the process started for
 * it; then whatever PID it records in its own PID file.  Each process is
 * watched from the moment it is known, and forgotten the moment the system
 * tells that it has ended: in a machine's uptime its number is handed out
 * again.
 */
struct client {
	const char *pidfile;
	/* Its PID file as an earlier run left it, and at the last look. */
	struct pidfile_state before, seen;
	pid_t record; /* the live process it recorded last; 0 for none */
	struct watch procs[process_slots];
	unsigned signalled; /* which slots the stop has sent SIGTERM */
	/*
	 * The channel to its process, link[0] ours and link[1] the child's:
	 * ended at the exec, or answered with a byte if the process never
	 * became the client.
	 */
	int link[2];
	int waiting; /* its process has not been seen to exec yet */
	struct timespec heard_at; /* when it was */
	int wrote; /* this run's client has written its PID file */
	int lost; /* no process of it has been alive */
	struct timespec lost_at; /* since this time */
	int locked; /* and its file, written by it, is still held locked */
	int final; /* its last process ended so that no record can follow */
	int gone; /* it has ended for good */
};

/* What the entry hands to the supervisor besides own_pidfile. */
struct handover {
	int own_fd; /* own_pidfile, taken and locked */
	int ready[2]; /* the daemon's report to the starting process */
	struct client clients[2]; /* IPv4, then IPv6 */
};

/*
 * Detach into a daemon that records its PID in own_pidfile and waits for
 * SIGTERM (or SIGHUP, SIGINT or SIGQUIT), or for the IPv4 client to end on
 * its own, and then stops both clients.  Never returns: the calling process
 * ends with 0 once the daemon is ready, or else, having stopped what it
 * started, with 1.
 */
[[noreturn]] void run_supervisor(const char *own_pidfile, struct handover *h);

/*
 * A start that failed after a client was started: stop the clients, remove
 * own_pidfile and exit 1.
 */
[[noreturn]] void abandon_start(const char *own_pidfile, struct handover *h);

#endif
