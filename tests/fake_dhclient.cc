/*
 * A stand-in DHCP client for the sandboxed tests.  It records its argument
 * vector in $FAKE_DHCLIENT_DIR/argv.PID (NUL-terminated arguments), writes
 * "PID\n" into the file named after -p or -pf as real clients do (unless
 * $FAKE_DHCLIENT_NO_PIDFILE is set), and on SIGTERM appends
 * "term PID SENDER\n" to $FAKE_DHCLIENT_DIR/events and ends; with
 * $FAKE_DHCLIENT_LINGER set it records every SIGTERM and runs on, so that
 * a second one would show.
 */

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

static bool
write_file(const char *path, const char *data, size_t len, int flags)
{
	int fd = open(path, O_WRONLY | O_CREAT | flags, 0644);
	bool ok = fd != -1 && write(fd, data, len) == (ssize_t)len;
	return close(fd) == 0 && ok;
}

int
main(int argc, char *argv[])
{
	const char *dir = getenv("FAKE_DHCLIENT_DIR");
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
	sigprocmask(SIG_BLOCK, &term, nullptr);

	/* Written whole, then renamed, so a reader never sees half of it. */
	snprintf(path, sizeof(path), "%s/argv.%d", dir, (int)getpid());
	snprintf(tmp, sizeof(tmp), "%s.tmp", path);
	std::string args;
	for (int i = 0; i < argc; i++)
		args.append(argv[i], strlen(argv[i]) + 1);
	if (!write_file(tmp, args.data(), args.size(), O_TRUNC))
		return 2;
	rename(tmp, path);

	for (int i = 1; i + 1 < argc; i++) {
		if (getenv("FAKE_DHCLIENT_NO_PIDFILE") != nullptr)
			break;
		if (strcmp(argv[i], "-p") == 0 || strcmp(argv[i], "-pf") == 0) {
			len =
			    snprintf(line, sizeof(line), "%d\n", (int)getpid());
			/* Like a real client, it runs on without it. */
			write_file(argv[i + 1], line, (size_t)len, O_TRUNC);
			break;
		}
	}

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
