/*
 * The PID files: the daemon's own, taken and held for its whole life, and
 * the clients', only ever read.
 */

#include <sys/types.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "pidfile.h"

/* Room for the longest PID, claimed before the daemon's PID is known. */
static const char pid_room[] = "          ";

/*
 * Parsed by hand rather than with sscanf("%d"): that gives no defined
 * result for a number beyond int, and glibc wraps it, so a huge number in
 * a damaged file could come out as a small, live process ID.
 */
pid_t
parse_pid(const char *text, size_t len)
{
	const char *end = text + len;
	long long value = 0;
	int negative = 0, digits = 0;

	while (text < end && isspace((unsigned char)*text))
		text++;
	if (text < end && (*text == '-' || *text == '+'))
		negative = *text++ == '-';
	for (; text < end && isdigit((unsigned char)*text); text++) {
		digits = 1;
		/* Past INT_MAX the number is unusable whatever comes next. */
		if (value <= INT_MAX)
			value = value * 10 + (*text - '0');
	}

	if (!digits || negative || value == 0 || value > INT_MAX)
		return -1;
	return (pid_t)value;
}

/*
 * The PID at the start of an open regular file, as parse_pid reads it, or
 * 0 for an empty file.  Only the first bytes are read: a number that runs
 * to their end may go on beyond them, so it is not taken.
 */
static pid_t
read_pid(int fd)
{
	char text[64];
	ssize_t n = read(fd, text, sizeof(text));

	if (n <= 0)
		return n == 0 ? 0 : -1;
	if (n == (ssize_t)sizeof(text))
		while (n > 0 && isdigit((unsigned char)text[n - 1]))
			n--;
	return parse_pid(text, (size_t)n);
}

/*
 * A FIFO or a device in place of the file must not block the daemon or
 * stir a device: only a regular file is opened, without blocking, and it is
 * read only if it is still a regular file once open.
 */
void
read_pidfile(const char *path, struct pidfile_state *state)
{
	struct stat st;
	int fd;

	memset(state, 0, sizeof(*state));
	state->pid = -1;
	if (stat(path, &st) == -1) {
		state->exists = errno != ENOENT && errno != ENOTDIR;
		return;
	}
	state->exists = 1;
	if (S_ISREG(st.st_mode) &&
	    (fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)) !=
		-1) {
		if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
			state->pid = read_pid(fd);
		close(fd);
	}
	state->dev = st.st_dev;
	state->ino = st.st_ino;
	state->size = st.st_size;
	state->mtime = st.st_mtim;
	state->ctime = st.st_ctim;
}

/*
 * Time stamps alone cannot tell: a file system may keep them to the second,
 * so a client can rewrite a file within the same tick as an earlier run.
 * What it writes, its own new PID, tells then.
 */
int
same_pidfile(const struct pidfile_state *a, const struct pidfile_state *b)
{
	return a->exists == b->exists && a->dev == b->dev && a->ino == b->ino &&
	    a->size == b->size && a->mtime.tv_sec == b->mtime.tv_sec &&
	    a->mtime.tv_nsec == b->mtime.tv_nsec &&
	    a->ctime.tv_sec == b->ctime.tv_sec &&
	    a->ctime.tv_nsec == b->ctime.tv_nsec && a->pid == b->pid;
}

/*
 * The probe takes a shared lock for a moment, which would make a client's
 * own pidfile_open fail then: it is only made on the file of a client that
 * has taken it already, or has ended.
 */
int
pidfile_locked(const char *path)
{
	struct stat st;
	int fd, locked;

	if (stat(path, &st) == -1 || !S_ISREG(st.st_mode) ||
	    (fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)) ==
		-1)
		return 0;
	locked = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
	    flock(fd, LOCK_SH | LOCK_NB) == -1 && errno == EWOULDBLOCK;
	close(fd);
	return locked;
}

/*
 * As the BSDs' pidfile_open does: the lock is taken without waiting, and
 * only then is the file touched.  A daemon that was ending may have
 * removed the file between our open and our lock; then the lock is on a
 * file nobody can find, and the file is opened afresh.
 */
int
take_pidfile(const char *path)
{
	struct stat held, named;
	int fd;

	for (;;) {
		fd = open(path,
		    O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
			O_CLOEXEC,
		    0644);
		if (fd == -1)
			return -1;
		if (fstat(fd, &held) == -1 || !S_ISREG(held.st_mode) ||
		    flock(fd, LOCK_EX | LOCK_NB) == -1) {
			close(fd);
			return -1;
		}
		if (lstat(path, &named) == 0 && named.st_dev == held.st_dev &&
		    named.st_ino == held.st_ino)
			break;
		close(fd);
	}

	/* A full file system fails now, before any client starts. */
	if (ftruncate(fd, 0) == -1 ||
	    pwrite(fd, pid_room, sizeof(pid_room) - 1, 0) !=
		(ssize_t)sizeof(pid_room) - 1) {
		unlink(path);
		close(fd);
		return -1;
	}
	return fd;
}

/* The digits go into the room claimed for them: no new space is needed. */
int
write_pidfile(int fd, pid_t pid)
{
	char digits[16];
	int len = snprintf(digits, sizeof(digits), "%d", (int)pid);

	return pwrite(fd, digits, (size_t)len, 0) == len &&
		ftruncate(fd, len) == 0
	    ? 0
	    : -1;
}

void
remove_pidfile(const char *path, int fd)
{
	struct stat held, named;

	if (fstat(fd, &held) == 0 && lstat(path, &named) == 0 &&
	    named.st_dev == held.st_dev && named.st_ino == held.st_ino)
		unlink(path);
}
