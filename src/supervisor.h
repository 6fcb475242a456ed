#ifndef BISTACK_SUPERVISOR_H
#define BISTACK_SUPERVISOR_H

/*
 * Detach into a daemon that records its PID in own_pidfile, waits for
 * SIGTERM and then stops both clients through their PID files.  Never
 * returns: the calling process ends with 0 once the daemon is ready, or 1.
 */
[[noreturn]] void run_supervisor(
    const char *own_pidfile, const char *v4_pidfile, const char *v6_pidfile);

#endif
