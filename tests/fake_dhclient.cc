/*
 * A stand-in DHCP client for the sandboxed tests.  It records its argument
 * vector in $FAKE_DHCLIENT_DIR/argv.PID (NUL-terminated arguments), writes
 * "PID\n" into the file named after -p or -pf as real clients do (unless
 * $FAKE_DHCLIENT_NO_PIDFILE is set), and on SIGTERM appends
 * "term PID SENDER\n" to $FAKE_DHCLIENT_DIR/events and ends; with
 * $FAKE_DHCLIENT_LINGER set it records every SIGTERM and runs on, so that
 * a second one would show.  More of a real client's ways, on request:
 *
 *   FAKE_DHCLIENT_DELAY_MS=N   waits N ms before it writes its PID file
 *   FAKE_DHCLIENT_BACKGROUND   goes into the background at once, as the ISC
 *                              client with -nw: it forks, the first process
 *                              ends, and the second records itself (argv
 *                              and PID file) and runs on
 *   FAKE_DHCLIENT_FAIL=4|6     the IPv4 (given -p) or the IPv6 client ends
 *                              at once with status 1, recording nothing but
 *                              its argv, as a client that refuses to run
 *   FAKE_DHCLIENT_DETACH       lets go of every descriptor it inherited,
 *                              as a client that goes into the background
 *   FAKE_DHCLIENT_DEFAULT_TERM catches nothing and changes no signal state:
 *                              it ends by SIGTERM's default action (as the
 *                              BSD base client does), if its parent let it
 *   FAKE_DHCLIENT_REFORK=N     the IPv4 client (given -p) forks N times,
 *                              1.5 s apart, each time ending the old process
 *                              and naming the new one in its PID file 700 ms
 *                              later, as the BSD base client does when it
 *                              goes into the background; the last one then
 *                              makes $FAKE_DHCLIENT_DIR/reforked.PID
 */

#include <sys/types.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

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

static void
write_pid(const char *pidfile)
{
	char line[32];
	int len = snprintf(line, sizeof(line), "%d\n", (int)getpid());
	/* Like a real client, it runs on without it. */
	write_file(pidfile, line, (size_t)len, O_TRUNC);
}

int
main(int argc, char *argv[])
{
	const char *dir = getenv("FAKE_DHCLIENT_DIR");
	const char *delay = getenv("FAKE_DHCLIENT_DELAY_MS");
	const char *refork = getenv("FAKE_DHCLIENT_REFORK");
	const char *fail = getenv("FAKE_DHCLIENT_FAIL");
	bool default_term = getenv("FAKE_DHCLIENT_DEFAULT_TERM") != nullptr;
	const char *pidfile = nullptr;
	bool v4 = false;
	char path[4096], tmp[4200], line[64];
	sigset_t term;
	siginfo_t info;
	int len;

	if (dir == nullptr) {
		fputs("fake_dhclient: FAKE_DHCLIENT_DIR is not set\n", stderr);
		return 2;
	}

	sigemptyset(&term);
	sigaddset(&term, SIGTERM);
	if (!default_term)
		sigprocmask(SIG_BLOCK, &term, nullptr);

	for (int i = 1; i + 1 < argc; i++)
		if (strcmp(argv[i], "-p") == 0 || strcmp(argv[i], "-pf") == 0) {
			pidfile = argv[i + 1];
			v4 = strcmp(argv[i], "-p") == 0;
			break;
		}
	if (getenv("FAKE_DHCLIENT_BACKGROUND") != nullptr && fork() != 0)
		return 0;

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
		pidfile = nullptr;
	if (delay != nullptr)
		nap_ms(atol(delay));
	if (pidfile != nullptr)
		write_pid(pidfile);

	if (v4 && refork != nullptr) {
		for (int n = atoi(refork); n > 0; n--) {
			nap_ms(1500);
			if (fork() != 0)
				_exit(0);
			nap_ms(700);
			if (pidfile != nullptr)
				write_pid(pidfile);
		}
		snprintf(
		    path, sizeof(path), "%s/reforked.%d", dir, (int)getpid());
		write_file(path, "", 0, O_TRUNC);
	}

	if (default_term)
		for (;;)
			pause();

	snprintf(path, sizeof(path), "%s/events", dir);
	do {
		while (sigwaitinfo(&term, &info) == -1)
			;
		len = snprintf(line, sizeof(line), "term %d %d\n",
		    (int)getpid(), (int)info.si_pid);
		if (!write_file(path, line, (size_t)len, O_APPEND))
			return 2;
	} while (getenv("FAKE_DHCLIENT_LINGER") != nullptr);
	return 0;
}
