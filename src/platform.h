#ifndef BISTACK_PLATFORM_H
#define BISTACK_PLATFORM_H

#include <stddef.h>
#include <signal.h>
#include <sys/types.h>

/*
 * The questions the supervisor must ask in each system's own way, and the
 * wait in which the system tells it what has happened.  Each system's
 * answers are in a file of its own: platform_linux.cc, and for the BSDs
 * platform_bsd.cc with platform_freebsd.cc or platform_dragonfly.cc.
 * Nothing else knows which system it runs on.
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
 * What the wait tells, each with the tag its source was given.  Sources
 * are told apart by kind, so a process, a channel and a file may share a
 * tag.
 */
enum event_kind {
	process_ended, /* a watched process has ended */
	channel_ready, /* a watched descriptor can be read, or has hung up */
	file_changed, /* a watched file was created, written, moved or removed
		       */
	stop_signal, /* one of the stop signals has come */
	time_up /* the timeout passed, and nothing else happened */
};

struct event {
	enum event_kind kind;
	int tag;
};

/* At most this many sources of each kind are watched at once. */
enum { most_watched = 40 };

/*
 * The stop signals, caught from now on: the wait tells when one has come
 * since it last told, whenever it came.  They are held back outside the wait,
 * so none is acted on between a look and the wait; the wait takes them, in the
 * same call.  Returns 0, or -1 if the signals cannot be set so.
 */
int catch_stop_signals(const int signals[], int n);
/* Whether a stop signal has come since they were caught, told or not. */
int stop_signal_came(void);

/*
 * Watch process pid, by the system's own handle on it (Linux: a process
 * descriptor; the BSDs: a kqueue's EVFILT_PROC), so that its end is told the
 * moment it happens, and a signal sent through the watch never reaches a
 * process that was given its number afterwards.  Returns 0, or -1 with
 * nothing watched: with errno ESRCH when there is no such process (any
 * more), or another when it cannot be watched.
 */
int watch_process(pid_t pid, int tag);
void unwatch_process(int tag);
/* Send sig to the process watched as tag.  Returns 0, or -1 if it has ended. */
int signal_process(int tag, int sig);
/* Whether the process watched as tag has ended, asked without waiting. */
int process_has_ended(int tag);

/* Watch descriptor fd, until unwatched: the wait tells while it is ready. */
int watch_channel(int fd, int tag);
void unwatch_channel(int tag);

/*
 * Watch the file at path, and the directory it is in: the wait tells when
 * it is created, written, moved or removed (at times when it was not, too:
 * it is to be looked at then).  Returns 0, or -1 when the system will not
 * tell.
 */
int watch_file(const char *path, int tag);

/*
 * Wait until something watched happens, or for timeout_ms (-1: no limit),
 * and store what did in events, at most max of them.  Returns how many; a
 * time_up event when nothing else happened.
 */
int await_events(struct event events[], int max, int timeout_ms);

/*
 * Stop watching anything: the descriptors the watches hold are closed (a
 * process that keeps only some of its descriptors calls it first).  Stop
 * signals stay caught.
 */
void forget_watches(void);

#endif
