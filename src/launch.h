#ifndef BISTACK_LAUNCH_H
#define BISTACK_LAUNCH_H

#include <signal.h>

/*
 * Start the program argv (its path first) as a child of this process, and
 * return the child's PID, or -1 if no child can be made.  With
 * await_ifname, the child first waits for that interface's link-local
 * address.  The child's end of its channel is link: it ends at the exec,
 * or answers with a byte if the program never runs (it cannot be
 * executed, or the wait gave up), and the child gives up waiting when the
 * other end is shut.
 *
 * The child has the signals in ignored ignored, every other at its default
 * action (none of this process's handlers), and none blocked.  With
 * hand_on it keeps this process's descriptors but the n in ours; without,
 * it holds nothing but /dev/null as standard input, output and error, and
 * its channel.
 */
pid_t launch(const char *const argv[], const char *await_ifname, int link,
    const int ours[], int n, const sigset_t *ignored, bool hand_on);

#endif
