/*
 * The benchmark's stand-in DHCP client: it writes "PID\n" into the file
 * named after -p or -pf, waits for SIGTERM, and then writes one byte to
 * the descriptor named by $BENCH_NOTIFY_FD, so that the benchmark learns
 * the moment of receipt without polling.
 */

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int
main(int argc, char *argv[])
{
	sigset_t term;
	int sig;

	sigemptyset(&term);
	sigaddset(&term, SIGTERM);
	sigprocmask(SIG_BLOCK, &term, nullptr);

	for (int i = 1; i + 1 < argc; i++) {
		if (strcmp(argv[i], "-p") != 0 && strcmp(argv[i], "-pf") != 0)
			continue;
		FILE *fp = fopen(argv[i + 1], "w");
		if (fp != nullptr) {
			fprintf(fp, "%d\n", (int)getpid());
			fclose(fp);
		}
		break;
	}

	sigwait(&term, &sig);
	const char *fd = getenv("BENCH_NOTIFY_FD");
	if (fd != nullptr && write(atoi(fd), "t", 1) != 1)
		return 2;
	return 0;
}
