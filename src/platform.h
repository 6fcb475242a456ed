#ifndef BISTACK_PLATFORM_H
#define BISTACK_PLATFORM_H

#include <stddef.h>
#include <signal.h>
#include <sys/types.h>

/*
 * The questions the supervisor must ask in each system's own way.  Nothing
 * outside platform.cc knows which system it runs on.
 */

/*
 * getopt(3) with options that end at the first operand, as POSIX has it:
 * glibc would otherwise look for options among the operands.
 */
int next_option(int argc, char *const argv[], const char *options);

/* The highest signal number the system has. */
int last_signal(void);

/*
 * sigaction(2) for every number up to last_signal(): glibc refuses the two
 * it keeps for its threads (32 and 33), which end a process by default all
 * the same.  For those it only sets and tells SIG_DFL or SIG_IGN.
 */
int any_sigaction(int sig, const struct sigaction *act, struct sigaction *old);

/*
 * Make this process the one to which its descendants are given when their
 * parent ends, as init is otherwise.  Returns 0 or -1.
 */
int become_reaper(void);

/*
 * Whether process pid is there, and its command name as the kernel keeps it
 * (the executed file's name).  Returns 1 with the name in name; 0 when no
 * such process exists or it has ended and awaits its parent (a zombie); -1
 * when that cannot be told, for want of a way to ask.
 */
int process_name(pid_t pid, char *name, size_t size);

/*
 * The arguments of process pid as the system shows them, each ended by a
 * NUL: those it was started with, or the title it has set since
 * (setproctitle).  At most size bytes are stored in args.  Returns how
 * many, 0 when there is no such process, or -1 when they cannot be told.
 */
ssize_t process_arguments(pid_t pid, char *args, size_t size);

/*
 * The parent of process pid, or 0 when there is no such process (or it is
 * a zombie) and -1 when that cannot be told.
 */
pid_t process_parent(pid_t pid);

/*
 * The processes that parent has forked and that have not ended, up to max
 * of them, in children.  Returns how many it listed, or -1 when that cannot
 * be told.
 */
int child_processes(pid_t parent, pid_t children[], int max);

/*
 * Whether a DHCPv6 client can bind to the IPv6 link-local address of
 * interface ifname: 1 when it has one that is usable (neither tentative
 * nor duplicated); 0 when it has none yet, or none usable; -1 when there is
 * nothing to wait for: no such interface, IPv6 off on it, or no way to ask.
 */
int link_local_ready(const char *ifname);

/*
 * A process held by the system's own handle on it (Linux: a process
 * descriptor; FreeBSD and DragonFly: a kqueue's EVFILT_PROC), so that its
 * end is told the moment it happens, and a signal sent through the watch
 * never reaches a process that was given its number afterwards.
 */
struct watch {
	pid_t pid; /* 0 when it watches nothing */
	int fd; /* Linux: the process descriptor */
	int ended; /* the system has told that the process ended */
};

/*
 * Watch process pid.  Returns 0, or -1 with nothing watched: with errno
 * ESRCH when there is no such process (any more), or another when it
 * cannot be watched.
 */
int watch_process(struct watch *w, pid_t pid);
void unwatch_process(struct watch *w);
/* Send sig to the watched process.  Returns 0, or -1 if it has ended. */
int signal_process(struct watch *w, int sig);

/*
 * Wait with the signal mask set to mask (nullptr: as it is) until a signal
 * is caught, a watched process ends (each of the n watches that does is
 * marked ended), one of the nfds descriptors in fds is readable or has
 * hung up, or timeout_ms have passed (-1: no limit).  The mask is set and
 * restored in the same call as the wait, so a signal kept blocked outside
 * it is never caught between a check and the wait.
 */
void await_events(struct watch *const watches[], int n, const int fds[],
    int nfds, int timeout_ms, const sigset_t *mask);

#endif
