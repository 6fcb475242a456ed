#ifndef BISTACK_LAUNCH_H
#define BISTACK_LAUNCH_H

#include <signal.h>

#include "supervisor.h"

/*
 * Make client c ready to be started: its PID file as it is before the
 * start (what it holds is not this client's), and a fresh channel to its
 * process.  Returns -1 if no channel can be made.
 */
int ready_client(struct client *c);

/*
 * Start client c as a child of this process, by its command line, and keep
 * the child's PID as its started process: until the client records one of
 * its own, that process is the client.  With await_ifname, the child first
 * waits for that interface's link-local address.  A client that cannot be
 * run is reported by the child, which then says so on its channel.
 *
 * The child has the signals in ignored ignored, every other at its default
 * action (none of this process's handlers), and none blocked.  At the first
 * start (hand_on) it keeps the caller's descriptors, but none of h's; later
 * it holds nothing but /dev/null as standard input, output and error, and
 * its channel.
 *
 * Returns the child's PID, or -1 with c ended if no child can be made.
 */
pid_t launch_client(struct client *c, const char *await_ifname,
    const struct handover *h, const sigset_t *ignored, bool hand_on);

#endif
