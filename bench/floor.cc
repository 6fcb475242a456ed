/*
 * The floor for the benchmark: the same process work as bistack-lease and
 * nothing else.  Two forks that execv the clients, a daemon fork that
 * watches both (process descriptors), writes its PID file and reports
 * back, and the starter's exit once it has.  The daemon waits in ppoll with
 * SIGTERM held back but there; on SIGTERM it signals both clients, on the
 * IPv4 client's end the IPv6 one; it then waits for each to end and for the
 * IPv4 client's file to be let go (a blocking flock), and exits.
 */

#include <sys/file.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static volatile sig_atomic_t term;

static void
on_term(int)
{
	term = 1;
}

static pid_t
spawn(const char *path, char *const argv[])
{
	pid_t pid = fork();
	if (pid == 0) {
		execv(path, argv);
		_exit(1);
	}
	return pid;
}

static int
pidfd(pid_t pid)
{
	return (int)syscall(SYS_pidfd_open, pid, 0);
}

static void
signal_and_wait(int fd)
{
	struct pollfd ended = { fd, POLLIN, 0 };
	syscall(SYS_pidfd_send_signal, fd, SIGTERM, nullptr, 0);
	while (poll(&ended, 1, -1) != 1)
		;
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
	pid_t v4_pid = spawn(v4_argv[0], v4_argv);
	pid_t v6_pid = spawn(v6_argv[0], v6_argv);

	if (socketpair(AF_UNIX, SOCK_STREAM, 0, ready) == -1)
		return 1;
	if (fork() != 0) {
		close(ready[1]);
		_exit(read(ready[0], &byte, 1) == 1 ? 0 : 1);
	}
	setsid();
	sigset_t held, waiting;
	sigemptyset(&held);
	sigaddset(&held, SIGTERM);
	sigprocmask(SIG_BLOCK, &held, &waiting);
	signal(SIGTERM, on_term);
	struct pollfd clients[2] = { { pidfd(v4_pid), POLLIN, 0 },
		{ pidfd(v6_pid), POLLIN, 0 } };
	FILE *fp = fopen(own, "w");
	if (fp == nullptr)
		_exit(1);
	fprintf(fp, "%d", (int)getpid());
	fclose(fp);
	send(ready[1], &byte, 1, MSG_NOSIGNAL);

	while (!term && ppoll(&clients[0], 1, nullptr, &waiting) != 1)
		;
	if (term)
		signal_and_wait(clients[0].fd);
	signal_and_wait(clients[1].fd);
	int lock = open(v4, O_RDONLY);
	flock(lock, LOCK_SH);
	unlink(own);
	return 0;
}
