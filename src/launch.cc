/*
 * How a client's process is started, by the daemon: the first time in the
 * caller's session, with what the caller handed over, and whenever the
 * IPv6 client is started again with nothing of the daemon's.
 */

#include <sys/types.h>
#include <sys/socket.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "launch.h"
#include "platform.h"

static const char spawn_failure[] = "Failed to spawn %s\n";

/*
 * How long the IPv6 client waits for its link-local address: long enough
 * for duplicate address detection (a second or two) on a slow link.  It is
 * looked at every link_local_check_ms: FreeBSD tells no one when the
 * detection ends.
 */
static const int link_local_checks = 120;
static const int link_local_check_ms = 250;

static int as_caller_left(const sigset_t *ignored);
static void hold_only(int *link);
static void await_link_local(const char *ifname, int link);

pid_t
launch(const char *const argv[], const char *await_ifname, int link,
    const int ours[], int n, const sigset_t *ignored, bool hand_on)
{
	pid_t pid = fork();

	if (pid != 0)
		return pid;
	if (hand_on)
		for (int i = 0; i < n; i++)
			if (ours[i] != -1 && ours[i] != link)
				close(ours[i]);
	if (!hand_on)
		hold_only(&link);
	if (as_caller_left(ignored) == -1) {
		send(link, "", 1, MSG_NOSIGNAL);
		exit(1);
	}
	if (await_ifname != nullptr) {
		/*
		 * The caller's terminal may hang up meanwhile (ssh host
		 * service dhclient restart em0): this process is in the
		 * caller's process group, but the client it starts keeps
		 * what it inherited.
		 */
		struct sigaction ignore, hangup;
		memset(&ignore, 0, sizeof(ignore));
		ignore.sa_handler = SIG_IGN;
		sigaction(SIGHUP, &ignore, &hangup);
		await_link_local(await_ifname, link);
		sigaction(SIGHUP, &hangup, nullptr);
	}
	/* execv only takes the vector as non-const for C's sake. */
	execv(argv[0], const_cast<char *const *>(argv));
	fprintf(stderr, spawn_failure, argv[0]);
	send(link, "", 1, MSG_NOSIGNAL);
	exit(1);
}

/*
 * A client starts with the signals its caller ignored ignored, every other
 * at its default action (none of the supervisor's own handlers), and none
 * blocked, whoever starts it.
 */
static int
as_caller_left(const sigset_t *ignored)
{
	struct sigaction act;
	sigset_t none;

	memset(&act, 0, sizeof(act));
	for (int sig = 1; sig <= last_signal(); sig++) {
		act.sa_handler =
		    sigismember(ignored, sig) == 1 ? SIG_IGN : SIG_DFL;
		/* Those none can catch cannot be set, nor need to be. */
		if (any_sigaction(sig, &act, nullptr) == -1 && sig != SIGKILL &&
		    sig != SIGSTOP)
			return -1;
	}
	sigemptyset(&none);
	return sigprocmask(SIG_SETMASK, &none, nullptr);
}

/*
 * The daemon's child holds nothing of the daemon's but standard input,
 * output and error, on /dev/null, and its channel, which moves to
 * descriptor 3.
 */
static void
hold_only(int *link)
{
	if (*link != 3 && dup2(*link, 3) == 3)
		*link = 3;
	fcntl(*link, F_SETFD, FD_CLOEXEC);
	closefrom(*link + 1);
}

/*
 * A DHCPv6 client binds to the interface's link-local address, which the
 * kernel refuses while duplicate address detection runs on it, as it does
 * in the first seconds after the interface comes up at boot: a client
 * started then ends at once.  So the IPv6 client's process waits until the
 * address is usable, up to a bound, and then starts the client.  It gives
 * up, with a byte to say so, when the supervisor ends the channel: it is
 * stopping, or gone.
 */
static void
await_link_local(const char *ifname, int link)
{
	struct pollfd stop = { link, POLLIN, 0 };

	for (int checks = 0;
	     checks < link_local_checks && link_local_ready(ifname) == 0;
	     checks++) {
		int ready = poll(&stop, 1, link_local_check_ms);
		if (ready == 0 || (ready == -1 && errno == EINTR))
			continue;
		send(link, "", 1, MSG_NOSIGNAL);
		exit(0);
	}
}
