#ifndef BISTACK_CLIENT_H
#define BISTACK_CLIENT_H

#include <sys/types.h>

#include "pidfile.h"

/*
 * A client's life, one state machine per client.  The daemon tells it
 * what has happened (client_step) and it says where the client goes;
 * enter() alone writes the state, and sets the state's deadline and the
 * pause.  What the daemon does about a state (start the process, signal
 * it) is the daemon's; what the client is, and when, is here.
 */

/*
 * How long the supervisor waits, for what.  A client whose last process
 * has ended may have forked into the background, and record its new PID a
 * moment later: it is given record_wait_ms.  The base client holds its
 * PID file locked meanwhile, and until it has ended for good, with its
 * helper process, which lets go of the lock a moment after it: a held lock
 * is waited for stop_wait_ms at the most, and looked at every
 * lock_look_ms, since nothing tells when a lock is let go.  A stop waits
 * stop_wait_ms at the most for the clients to end.
 */
enum : long {
	record_wait_ms = 250,
	stop_wait_ms = 5000,
	lock_look_ms = 10,
};

/*
 * The IPv6 client is started again after a pause: first_pause_ms after an
 * end, twice the last pause after a client that ended within ran_long_ms
 * of its start, most_pause_ms at the most.
 */
enum : long {
	first_pause_ms = 1000,
	most_pause_ms = 60000,
	ran_long_ms = 60000,
};

/*
 * Where a client's processes are kept: the process started for it, and in
 * the others, as many as there is room for, each it has recorded in its
 * PID file, until it ends (a second client started by hand for the same
 * file does not hide the first), and, during a stop, the dhclient children
 * of the started process.
 */
enum { started_slot, first_other_slot, process_slots = 16 };

/*
 * The states.  ended: nothing of it runs, and nothing is awaited of it;
 * it is the state before a start, and after an end that nothing follows.
 * launching: its process is started and has not become the client yet
 * (the IPv6 client's may be waiting for its link-local address).
 * running: a process of it is alive.  settling: none is, and nothing holds
 * its file locked; it may have forked into the background, and is given
 * record_wait_ms to record a new process.  locked: none is, but its file
 * is held locked, as the base client's is until its helper has ended: it
 * ends once the lock is let go or the file removed, stop_wait_ms at the
 * most.  paused: the IPv6 client, ended while the IPv4 client runs, waits
 * for its pause to pass.  deferred: its pause has passed while the IPv4
 * client did not run; it is started again once that runs.
 */
enum client_state {
	ended,
	launching,
	running,
	settling,
	locked,
	paused,
	deferred,
};

/* What the daemon tells a client. */
enum client_news {
	started, /* its process was started (from ended) */
	exec_seen, /* its channel ended: the process became the client */
	never_execs, /* its process said it never will, or none was made */
	record_taken, /* it recorded a live process, now watched */
	last_gone, /* its last watched process has ended */
	file_gone, /* the file it wrote has been removed */
	deadline, /* its state's deadline has passed */
	stop_begins, /* the daemon stops its clients */
	partner_runs, /* the IPv4 client runs (told the IPv6 client) */
};

struct client_event {
	enum client_news news;
	bool locked; /* its file is held locked now (last_gone, deadline) */
	/* The daemon serves and the IPv4 client runs (deadline, partner_runs).
	 */
	bool partner_running;
};

/*
 * A client as the supervisor knows it: first hand, the process started for
 * it; then whatever PID it records in its own PID file.  Each process is
 * watched from the moment it is known, and forgotten the moment the system
 * tells that it has ended: in a machine's uptime its number is handed out
 * again.
 */
struct client {
	int id; /* 0 for the IPv4 client, 1 for the IPv6 client */
	const char *ifname;
	const char *pidfile;
	const char *const *argv; /* its command line, its path first */
	/* Its PID file as it was before this client started, and at the
	 * last look. */
	struct pidfile_state before, seen;
	pid_t record; /* the live process it recorded last; 0 for none */
	pid_t procs[process_slots]; /* watched, each as its slot; 0: none */
	unsigned signalled; /* which slots the stop has sent SIGTERM */
	/*
	 * The channel to its process, link[0] ours and link[1] the child's:
	 * ended at the exec, or answered with a byte if the process never
	 * became the client.
	 */
	int link[2];
	bool wrote; /* this client has written its PID file */
	bool locks; /* and holds it locked, as the base client does */
	bool record_stopped; /* its record was ended by the stop's SIGTERM */

	/* The machine's own, written by enter() alone. */
	enum client_state state;
	long since_ms; /* when it entered its state */
	long deadline_ms; /* when its state's time is up; -1 for never */
	long started_ms; /* when its run began: its launch, then its exec */
	long pause_ms; /* the last pause before it was started again */
};

/* Tell client c what has happened at time now, and move it on. */
void client_step(struct client *c, const struct client_event *e, long now);

/* Move client c to state at time now (its state's time and deadline). */
void enter(struct client *c, enum client_state state, long now);

#endif
