/*
 * The floor for the start-up benchmark: the same process work as
 * bistack-lease's start and nothing else.  Two forks that execv the
 * clients, a daemon fork that writes its PID file and reports back, and the
 * starter's exit once it has.
 */

#include <sys/socket.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static void
spawn(const char *path, char *const argv[])
{
	if (fork() == 0) {
		execv(path, argv);
		_exit(1);
	}
}

int
main(int argc, char *argv[])
{
	char *own, *v4, *v6;
	int ready[2];
	char byte = 0;

	if (argc != 2 ||
	    asprintf(&own, "/var/run/dhclient/floor.%s.pid", argv[1]) < 0 ||
	    asprintf(&v4, "/var/run/dhclient/floor.%s.4.pid", argv[1]) < 0 ||
	    asprintf(&v6, "/var/run/dhclient/floor.%s.6.pid", argv[1]) < 0)
		return 1;
	char *v4_argv[] = { (char *)"/sbin/dhclient", (char *)"-p", v4, argv[1],
		nullptr };
	char *v6_argv[] = { (char *)"/usr/local/sbin/dhclient", (char *)"-6",
		(char *)"-nw", (char *)"-cf", (char *)"/dev/null",
		(char *)"-pf", v6, argv[1], nullptr };
	spawn(v4_argv[0], v4_argv);
	spawn(v6_argv[0], v6_argv);

	if (socketpair(AF_UNIX, SOCK_STREAM, 0, ready) == -1)
		return 1;
	if (fork() != 0) {
		close(ready[1]);
		_exit(read(ready[0], &byte, 1) == 1 ? 0 : 1);
	}
	setsid();
	FILE *fp = fopen(own, "w");
	if (fp == nullptr)
		_exit(1);
	fprintf(fp, "%d", (int)getpid());
	fclose(fp);
	send(ready[1], &byte, 1, MSG_NOSIGNAL);
	for (;;)
		pause();
}
