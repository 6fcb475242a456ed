#ifndef BISTACK_SUPERVISOR_H
#define BISTACK_SUPERVISOR_H

#include <sys/types.h>

#include "pidfile.h"
#include "platform.h"

/*
 * Where a client's processes are kept: the process started for it, and in
 * the others, as many as there is room for, each it has recorded in its
 * PID file, until it ends (a second client started by hand for the same
 * file does not hide the first), and, during a stop, the dhclient children
 * of the started process.
 */
enum { started_slot, first_other_slot, process_slots = 16 };

/*
 * A client's life.  launching: its process has not become the client yet
 * (the IPv6 client's may be waiting for its link-local address); running:
 * a process of it is alive; settling: none is, but it may have forked
 * into the background and record a new one; ended: for good; paused: the
 * IPv6 client, ended while the IPv4 client runs, waits to be started
 * again.
 */
enum client_state { launching, running, settling, ended, paused };

/*
 * A client as the supervisor knows it: first hand, the process started for
 * it; then whatever PID it records in its own PID file.  Each process is
 * watched from the moment it is known, and forgotten the moment the system
 * tells that it has ended: in a machine's uptime its number is handed out
 * again.
 */
struct client {
	const char *ifname;
	const char *pidfile;
	const char *const *argv; /* its command line, its path first */
	/* Its PID file as it was before this client started, and at the
	 * last look. */
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
	enum client_state state;
	long since_ms; /* when it entered its state */
	long started_ms; /* when its process was started */
	long pause_ms; /* the last pause before it was started again */
	bool wrote; /* this client has written its PID file */
	bool locks; /* and holds it locked, as the base client does */
};

/* What the entry hands to the supervisor besides own_pidfile. */
struct handover {
	const char *ifname;
	int own_fd; /* own_pidfile, taken and locked */
	int ready[2]; /* the daemon's report to the starting process */
	bool watching; /* the daemon watches the processes it started */
	struct client clients[2]; /* IPv4, then IPv6 */
};

/*
 * Detach into a daemon that records its PID in own_pidfile and waits for
 * SIGTERM (or SIGHUP, SIGINT or SIGQUIT), or for the IPv4 client to end on
 * its own, and then stops both clients; meanwhile it starts the IPv6
 * client again whenever it ends.  Never returns: the calling process ends
 * with 0 once the daemon is ready, or else, having stopped what it
 * started, with 1.
 */
[[noreturn]] void run_supervisor(const char *own_pidfile, struct handover *h);

/*
 * Before a start, while own_pidfile is held: end what the clients' files
 * name, where it is provably this interface's client, left running by an
 * earlier run that did not stop them.  Returns 0, or -1 when one still
 * runs after a stop's bound.
 */
int take_back(struct handover *h);

/*
 * A start that failed after a client was started: stop the clients, remove
 * own_pidfile and exit 1.
 */
[[noreturn]] void abandon_start(const char *own_pidfile, struct handover *h);

/* A monotonic clock, in milliseconds. */
long clock_ms(void);

#endif
