#ifndef BISTACK_PIDFILE_H
#define BISTACK_PIDFILE_H

#include <stddef.h>
#include <sys/types.h>
#include <time.h>

/*
 * Read a process ID the way "%d" reads one: leading white space skipped,
 * an optional sign, decimal digits, whatever follows ignored.  Returns the
 * number if it is a usable process ID (1 up to the largest pid_t), and -1
 * for anything else: no number, zero, a negative number, or one too large.
 */
pid_t parse_pid(const char *text, size_t len);

/*
 * A client's PID file as it was at one moment: whether it was there, which
 * file it was and when it was last written, and the PID it held.
 */
struct pidfile_state {
	int exists;
	dev_t dev;
	ino_t ino;
	off_t size;
	struct timespec mtime, ctime;
	pid_t pid; /* usable PID; 0 for an empty file; -1 for anything else */
};

/*
 * Look at a client's PID file without ever blocking: only a regular file is
 * read, and only its first bytes.
 */
void read_pidfile(const char *path, struct pidfile_state *state);
/* Whether two looks found the same file, not written in between. */
int same_pidfile(const struct pidfile_state *a, const struct pidfile_state *b);
/*
 * Whether some process holds the file at path locked with flock(2), as the
 * BSDs' pidfile(3) does for as long as the process that took it, or a copy
 * of its descriptor, lives.  Only a regular file is opened, never blocking.
 */
int pidfile_locked(const char *path);

/*
 * Take the daemon's own PID file: create it if need be (mode 0644 less the
 * umask), never through a symbolic link and only as a regular file, and
 * lock it for as long as the descriptor, or a copy of it, stays open.
 * Returns the descriptor, or -1 with the file as it was when it cannot be
 * taken: it is locked by another daemon, or cannot be made or written.
 */
int take_pidfile(const char *path);
/* Make the taken file hold exactly pid in decimal.  Returns 0 or -1. */
int write_pidfile(int fd, pid_t pid);
/* Remove the file at path if it is still the one taken as fd. */
void remove_pidfile(const char *path, int fd);

#endif
