/*
 * A stand-in DHCP client for the sandboxed tests.  It records its argument
 * vector in $FAKE_DHCLIENT_DIR/argv.PID (NUL-terminated arguments), writes
 * "PID\n" into the file named after -p or -pf as real clients do (unless
 * $FAKE_DHCLIENT_NO_PIDFILE is set), and on SIGTERM appends
 * "term PID SENDER\n" to $FAKE_DHCLIENT_DIR/events and ends.  More of a
 * real client's ways, on request:
 *
 *   FAKE_DHCLIENT_DELAY_MS=N   waits N ms before it takes its PID file (a
 *                              SIGTERM meanwhile ends it as ever)
 *   FAKE_DHCLIENT_EXIT_DELAY_MS=N
 *                              takes N ms to end after its first SIGTERM,
 *                              recording every further one meanwhile; with
 *                              -1 it never ends on SIGTERM
 *   FAKE_DHCLIENT_BACKGROUND   goes into the background at once, as the ISC
 *                              client with -nw: it forks, the first process
 *                              ends, and the second, in a session of its
 *                              own, records itself (argv and PID file) and
 *                              runs on
 *   FAKE_DHCLIENT_LATE6_MS=N   the IPv6 client goes into the background
 *                              so, and its second process records itself
 *                              N ms later, as a loaded machine may keep
 *                              the ISC client's from doing for a while
 *   FAKE_DHCLIENT_FAIL=4|6     the IPv4 (given -p) or the IPv6 client ends
 *                              at once with status 1, recording nothing but
 *                              its argv, as a client that refuses to run
 *   FAKE_DHCLIENT_DETACH       lets go of every descriptor it inherited,
 *                              as a client that goes into the background
 *   FAKE_DHCLIENT_DEFAULT_TERM catches nothing and changes no signal state:
 *                              it ends by SIGTERM's default action (as the
 *                              BSD base client does), if its parent let it
 *   FAKE_DHCLIENT_LOCK=N       the IPv4 client takes its PID file as the BSD
 *                              base client does (pidfile(3)): locked with
 *                              flock(2), or else "already running" and
 *                              status 1; and forks a helper that shares the
 *                              lock, as the base client's privileged process
 *                              does, and that N ms after the last of the
 *                              client's processes has ended removes the
 *                              file and ends
 *   FAKE_DHCLIENT_REFORK=N     the IPv4 client forks N times,
 *                              $FAKE_DHCLIENT_REFORK_GAP_MS (default 1500)
 *                              ms apart, each time ending the old process
 *                              and naming the new one in its PID file
 *                              $FAKE_DHCLIENT_REFORK_MS (default 700) ms
 *                              later, as the BSD base client does when it
 *                              goes into the background; the last one then
 *                              makes $FAKE_DHCLIENT_DIR/reforked.PID
 *   FAKE_DHCLIENT_CHILDREN=P:P the IPv4 client starts a child from each
 *                              program P, whose command name is P's file
 *                              name, as the ISC client works in a child
 *   FAKE_DHCLIENT_ON_TERM=child|record
 *                              at its first SIGTERM, the IPv4 client starts
 *                              one more child from its own program 400 ms
 *                              later, or forks a process that names itself
 *                              in the PID file and serves on, before it
 *                              ends
 *
 * Started as "dhclient child" or "dhclient bystander", it records nothing
 * but the SIGTERMs it receives (a bystander its argv too).
 */

#include <sys/types.h>
#include <sys/file.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

static const char *dir;
static sigset_t term;
static const char *self, *recorded_in; /* its program, and its PID file */
static bool v4;

static bool
write_file(const char *path, const char *data, size_t len, int flags)
{
	int fd = open(path, O_WRONLY | O_CREAT | flags, 0644);
	bool ok = fd != -1 && write(fd, data, len) == (ssize_t)len;
	return close(fd) == 0 && ok;
}

static void
nap_ms(long ms)
{
	struct timespec ts = { ms / 1000, ms % 1000 * 1000000 };
	while (nanosleep(&ts, &ts) == -1)
		;
}

static long
getenv_ms(const char *name, long otherwise)
{
	const char *value = getenv(name);
	return value != nullptr ? atol(value) : otherwise;
}

/* Into the locked file as pidfile_write(3) does, or as a plain file. */
static void
write_pid(const char *pidfile, int locked)
{
	char line[32];
	int len = snprintf(line, sizeof(line), "%d\n", (int)getpid());
	/* Like a real client, it runs on without it. */
	if (locked == -1) {
		write_file(pidfile, line, (size_t)len, O_TRUNC);
	} else if (ftruncate(locked, 0) == 0 &&
	    pwrite(locked, line, (size_t)len, 0) != len) {
		fputs("fake_dhclient: cannot write its PID file\n", stderr);
	}
}

/*
 * As pidfile_open(3): the lock first, without waiting, then the file
 * truncated.  The helper shares the lock until every process of the
 * client has let go of the pipe's writing end, and lingers ms more.
 */
static int
take_pidfile(const char *pidfile, long ms)
{
	int fd = open(pidfile, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
	int pipefd[2];
	char byte;

	if (fd == -1 || flock(fd, LOCK_EX | LOCK_NB) == -1) {
		fputs("dhclient already running\n", stderr);
		exit(1);
	}
	if (ftruncate(fd, 0) == -1 || pipe(pipefd) == -1)
		exit(2);
	if (fork() == 0) {
		signal(SIGTERM, SIG_IGN);
		close(pipefd[1]);
		while (read(pipefd[0], &byte, 1) != 0)
			;
		nap_ms(ms);
		unlink(pidfile);
		_exit(0);
	}
	close(pipefd[0]);
	return fd;
}

/* A child from each program in the list, which ':' separates. */
static void
start_children(const char *list)
{
	std::string programs = list;
	for (size_t at = 0, end; at <= programs.size(); at = end + 1) {
		end = programs.find(':', at);
		if (end == std::string::npos)
			end = programs.size();
		std::string path = programs.substr(at, end - at);
		if (fork() == 0) {
			execl(
			    path.c_str(), "dhclient", "child", (char *)nullptr);
			_exit(127);
		}
	}
}

[[noreturn]] static void serve_until_terminated(siginfo_t *first);

/* What the IPv4 client does, on request, as its first SIGTERM comes. */
static void
on_first_term(void)
{
	const char *what = getenv("FAKE_DHCLIENT_ON_TERM");
	siginfo_t none;

	if (!v4 || what == nullptr)
		return;
	unsetenv("FAKE_DHCLIENT_ON_TERM");
	if (strcmp(what, "child") == 0) {
		nap_ms(400);
		if (fork() == 0) {
			execl(self, "dhclient", "child", (char *)nullptr);
			_exit(127);
		}
		return;
	}
	if (fork() != 0)
		return;
	if (recorded_in != nullptr)
		write_pid(recorded_in, -1);
	none.si_signo = 0;
	serve_until_terminated(&none);
}

/* Record each SIGTERM; end after the first, or exit_ms after it. */
[[noreturn]] static void
serve_until_terminated(siginfo_t *first)
{
	char path[4096], line[64];
	siginfo_t info = *first;
	long exit_ms = getenv_ms("FAKE_DHCLIENT_EXIT_DELAY_MS", 0);
	struct timespec end, now, left;

	snprintf(path, sizeof(path), "%s/events", dir);
	if (first->si_signo != SIGTERM)
		while (sigwaitinfo(&term, &info) == -1)
			;
	on_first_term();
	clock_gettime(CLOCK_MONOTONIC, &end);
	end.tv_sec += exit_ms / 1000;
	end.tv_nsec += exit_ms % 1000 * 1000000;
	if (end.tv_nsec >= 1000000000) {
		end.tv_sec++;
		end.tv_nsec -= 1000000000;
	}
	for (;;) {
		int len = snprintf(line, sizeof(line), "term %d %d\n",
		    (int)getpid(), (int)info.si_pid);
		if (!write_file(path, line, (size_t)len, O_APPEND))
			exit(2);
		do {
			if (exit_ms == -1) {
				if (sigwaitinfo(&term, &info) == SIGTERM)
					break;
				continue;
			}
			clock_gettime(CLOCK_MONOTONIC, &now);
			left.tv_sec = end.tv_sec - now.tv_sec;
			left.tv_nsec = end.tv_nsec - now.tv_nsec;
			if (left.tv_nsec < 0) {
				left.tv_sec--;
				left.tv_nsec += 1000000000;
			}
			if (left.tv_sec < 0)
				exit(0);
		} while (sigtimedwait(&term, &info, &left) != SIGTERM);
	}
}

int
main(int argc, char *argv[])
{
	const char *refork = getenv("FAKE_DHCLIENT_REFORK");
	const char *fail = getenv("FAKE_DHCLIENT_FAIL");
	bool default_term = getenv("FAKE_DHCLIENT_DEFAULT_TERM") != nullptr;
	char path[4096], tmp[4200];
	siginfo_t info;
	int locked = -1;

	if ((dir = getenv("FAKE_DHCLIENT_DIR")) == nullptr) {
		fputs("fake_dhclient: FAKE_DHCLIENT_DIR is not set\n", stderr);
		return 2;
	}

	self = argv[0];
	sigemptyset(&term);
	sigaddset(&term, SIGTERM);
	if (!default_term)
		sigprocmask(SIG_BLOCK, &term, nullptr);
	info.si_signo = 0;
	if (argc == 2 && strcmp(argv[1], "child") == 0)
		serve_until_terminated(&info);

	/* The last one: options given before it may look like one. */
	for (int i = argc - 2; i >= 1; i--)
		if (strcmp(argv[i], "-p") == 0 || strcmp(argv[i], "-pf") == 0) {
			recorded_in = argv[i + 1];
			v4 = strcmp(argv[i], "-p") == 0;
			break;
		}
	long late = v4 ? 0 : getenv_ms("FAKE_DHCLIENT_LATE6_MS", 0);
	if (getenv("FAKE_DHCLIENT_BACKGROUND") != nullptr || late > 0) {
		if (fork() != 0)
			return 0;
		setsid();
	}

	/* Written whole, then renamed, so a reader never sees half of it. */
	snprintf(path, sizeof(path), "%s/argv.%d", dir, (int)getpid());
	snprintf(tmp, sizeof(tmp), "%s.tmp", path);
	std::string args;
	for (int i = 0; i < argc; i++)
		args.append(argv[i], strlen(argv[i]) + 1);
	if (!write_file(tmp, args.data(), args.size(), O_TRUNC))
		return 2;
	rename(tmp, path);
	if (fail != nullptr && atoi(fail) == (v4 ? 4 : 6))
		return 1;

	if (getenv("FAKE_DHCLIENT_DETACH") != nullptr) {
		int null = open("/dev/null", O_RDWR);
		for (int fd = 0; fd < 3; fd++)
			dup2(null, fd);
		closefrom(3);
	}

	if (getenv("FAKE_DHCLIENT_NO_PIDFILE") != nullptr)
		recorded_in = nullptr;
	long delay = late > 0 ? late : getenv_ms("FAKE_DHCLIENT_DELAY_MS", 0);
	if (delay > 0 && default_term) {
		nap_ms(delay);
	} else if (delay > 0) {
		struct timespec ts = { delay / 1000, delay % 1000 * 1000000 };
		if (sigtimedwait(&term, &info, &ts) == SIGTERM)
			serve_until_terminated(&info);
	}
	if (v4 && recorded_in != nullptr &&
	    getenv("FAKE_DHCLIENT_LOCK") != nullptr)
		locked = take_pidfile(
		    recorded_in, getenv_ms("FAKE_DHCLIENT_LOCK", 0));
	if (recorded_in != nullptr)
		write_pid(recorded_in, locked);

	if (v4 && getenv("FAKE_DHCLIENT_CHILDREN") != nullptr)
		start_children(getenv("FAKE_DHCLIENT_CHILDREN"));
	if (v4 && refork != nullptr) {
		long ms = getenv_ms("FAKE_DHCLIENT_REFORK_MS", 700);
		long gap = getenv_ms("FAKE_DHCLIENT_REFORK_GAP_MS", 1500);
		for (int n = atoi(refork); n > 0; n--) {
			nap_ms(gap);
			if (fork() != 0)
				_exit(0);
			nap_ms(ms);
			if (recorded_in != nullptr)
				write_pid(recorded_in, locked);
		}
		snprintf(
		    path, sizeof(path), "%s/reforked.%d", dir, (int)getpid());
		write_file(path, "", 0, O_TRUNC);
	}

	if (default_term)
		for (;;)
			pause();
	serve_until_terminated(&info);
}
