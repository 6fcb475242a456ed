#ifndef BISTACK_SUPERVISOR_H
#define BISTACK_SUPERVISOR_H

#include "pidfile.h"

/* What the entry hands to the supervisor besides the run paths. */
struct handover {
	int own_fd; /* own_pidfile, taken and locked */
	int v6_link; /* to the IPv6 client's process, while it waits */
	/* The clients' PID files before either client started. */
	struct pidfile_state v4_before, v6_before;
};

/*
 * Detach into a daemon that records its PID in own_pidfile and waits for
 * SIGTERM, or for the IPv4 client to end on its own, and then stops the
 * clients through their PID files.  Never returns: the calling process
 * ends with 0 once the daemon is ready, or 1.
 */
[[noreturn]] void run_supervisor(const char *own_pidfile,
    const char *v4_pidfile, const char *v6_pidfile,
    const struct handover *handover);

#endif
