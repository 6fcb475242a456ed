/*
 * The benchmark's stand-in DHCP client: it writes "PID\n" into the file
 * named after -p or -pf, waits for SIGTERM, and then writes one byte to
 * the descriptor named by $BENCH_NOTIFY_FD, so that the benchmark learns
 * the moment of receipt without polling.  Given -p, it takes its file as
 * the BSD base client does: locked with flock(2), and shared with a helper
 * process that removes it and lets go of it when the client has ended, as
 * the base client's privileged process does.  $BENCH_RECORD_DELAY_MS puts
 * off the write (not the file's creation and lock) by that long.
 */

#include <sys/file.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int
main(int argc, char *argv[])
{
	sigset_t term;
	int sig, fd, helper[2];
	char line[32], byte;

	sigemptyset(&term);
	sigaddset(&term, SIGTERM);
	sigprocmask(SIG_BLOCK, &term, nullptr);

	for (int i = 1; i + 1 < argc; i++) {
		if (strcmp(argv[i], "-p") != 0 && strcmp(argv[i], "-pf") != 0)
			continue;
		fd = open(argv[i + 1], O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
		if (fd == -1)
			return 2;
		if (strcmp(argv[i], "-p") == 0) {
			if (flock(fd, LOCK_EX | LOCK_NB) == -1 ||
			    pipe(helper) == -1)
				return 1;
			if (fork() == 0) {
				close(helper[1]);
				while (read(helper[0], &byte, 1) > 0)
					;
				unlink(argv[i + 1]);
				_exit(0);
			}
			close(helper[0]);
		}
		if (const char *delay = getenv("BENCH_RECORD_DELAY_MS")) {
			long ms = atol(delay);
			struct timespec wait = { ms / 1000,
				ms % 1000 * 1000000 };
			nanosleep(&wait, nullptr);
		}
		int len = snprintf(line, sizeof(line), "%d\n", (int)getpid());
		if (ftruncate(fd, 0) == -1 || write(fd, line, len) != len)
			return 2;
		break;
	}

	sigwait(&term, &sig);
	const char *notify = getenv("BENCH_NOTIFY_FD");
	if (notify != nullptr && write(atoi(notify), "t", 1) != 1)
		return 2;
	return 0;
}
