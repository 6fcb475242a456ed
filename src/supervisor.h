#ifndef BISTACK_SUPERVISOR_H
#define BISTACK_SUPERVISOR_H

#include <sys/types.h>

#include "client.h"

/* What the daemon is about: its mode, decided in decide_mode() alone. */
enum daemon_mode {
	starting, /* until its report: a stop signal stops the start */
	serving, /* the clients run, the IPv6 client started again */
	stopping, /* the clients are stopped, and then the daemon ends */
};

/* What the entry hands to the supervisor besides own_pidfile. */
struct handover {
	const char *ifname;
	int own_fd; /* own_pidfile, taken and locked */
	int ready[2]; /* the daemon's report to the starting process */
	bool watching; /* the daemon watches the processes it started */
	bool files_told; /* the system tells when the clients' files change */
	bool stop_asked; /* a stop signal has come */
	enum daemon_mode mode;
	struct client clients[2]; /* IPv4, then IPv6 */
};

/*
 * A client not started yet, by its command line: what its file holds now
 * is an earlier run's.  Returns -1 if no channel to it can be made.
 */
int prepare_client(struct client *c, int id, const char *ifname,
    const char *pidfile, const char *const argv[]);

/*
 * Detach into a daemon that records its PID in own_pidfile and waits for
 * SIGTERM (or SIGHUP, SIGINT or SIGQUIT), or for the IPv4 client to end on
 * its own, and then stops both clients; meanwhile it starts the IPv6
 * client again whenever it ends.  Never returns: the calling process ends
 * with 0 once the daemon is ready, or else, having stopped what it
 * started, with 1.
 */
[[noreturn]] void run_supervisor(const char *own_pidfile, struct handover *h);

/* A monotonic clock, in milliseconds. */
long clock_ms(void);

#endif
