/*
 * The detached supervisor: the daemon that stands for both clients under
 * the interface's DHCP-client PID file, and stops them on SIGTERM.
 */

#include <sys/types.h>
#include <sys/socket.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "pidfile.h"
#include "platform.h"
#include "supervisor.h"

/* The command name of both clients, whatever their paths. */
static const char client_name[] = "dhclient";

static volatile sig_atomic_t term_requested;

static void handle_sigterm(int);
static void write_own_pidfile(const char *own_pidfile);
static void stop_client(const char *pidfile);

void
run_supervisor(
    const char *own_pidfile, const char *v4_pidfile, const char *v6_pidfile)
{
	int ready[2];
	char byte = 0;
	ssize_t n;
	int reported = 0;

	/*
	 * The starting process returns only once the daemon has recorded its
	 * PID, so that its status tells the truth and a caller finds the file
	 * in place.  The channel is made after the clients were started, so
	 * neither of them holds it open.
	 */
	if (socketpair(AF_UNIX, SOCK_STREAM, 0, ready) == -1)
		exit(1);

	switch (fork()) {
	case -1:
		exit(1);
	case 0:
		break;
	default:
		/*
		 * The report, then the end of the channel: by then the daemon
		 * holds nothing but what it inherited.
		 */
		close(ready[1]);
		while ((n = read(ready[0], &byte, 1)) != 0 &&
		    (n == 1 || errno == EINTR))
			reported |= n == 1;
		_exit(reported ? 0 : 1);
	}

	close(ready[0]);
	if (setsid() == -1)
		_exit(1);

	/* Caught before the PID file exists: no SIGTERM sent by it is lost. */
	signal(SIGTERM, handle_sigterm);
	write_own_pidfile(own_pidfile);

	/*
	 * The starting process may be gone already: without MSG_NOSIGNAL that
	 * would end the daemon by SIGPIPE.
	 */
	send(ready[1], &byte, 1, MSG_NOSIGNAL);
	close(ready[1]);

	while (!term_requested)
		sleep(1);

	stop_client(v4_pidfile);
	stop_client(v6_pidfile);
	unlink(own_pidfile);
	exit(0);
}

static void
handle_sigterm(int)
{
	term_requested = 1;
}

/*
 * The PID in decimal, with nothing after it.  A write error may only show
 * when the buffer is flushed, so the close counts too; a file that does
 * not hold the PID is not left behind.
 */
static void
write_own_pidfile(const char *own_pidfile)
{
	FILE *fp;
	int written;

	if ((fp = fopen(own_pidfile, "w")) == nullptr)
		exit(1);
	written = fprintf(fp, "%d", (int)getpid());
	if (fclose(fp) == EOF || written < 0) {
		unlink(own_pidfile);
		exit(1);
	}
}

/*
 * Signal the client named in pidfile.  A file that cannot be read, or
 * holds no usable PID, ends the daemon: it never signals 0 (its own group)
 * or a negative number (a group, or every process).  A PID now held by a
 * program of another name means the client is gone and its number was
 * reused; that program is left alone.
 */
static void
stop_client(const char *pidfile)
{
	FILE *fp;
	pid_t pid;
	char name[64];

	if ((fp = fopen(pidfile, "r")) == nullptr)
		exit(1);
	pid = read_pid(fp);
	fclose(fp);
	if (pid == -1)
		exit(1);

	if (process_name(pid, name, sizeof(name)) == 1 &&
	    strcmp(name, client_name) != 0)
		return;
	kill(pid, SIGTERM);
}
