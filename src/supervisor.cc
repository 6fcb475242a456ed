/*
 * The detached supervisor: the daemon that stands for both clients under
 * the interface's DHCP-client PID file, starts the IPv6 client again
 * whenever it ends, and stops both on SIGTERM, or once the IPv4 client has
 * ended on its own.  The system tells it what has happened; it tells each
 * client's machine (client.cc), and does what the client's new state asks.
 */

#include <sys/types.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "client.h"
#include "launch.h"
#include "pidfile.h"
#include "platform.h"
#include "supervisor.h"

/* The command name of both clients, whatever their paths. */
static const char client_name[] = "dhclient";

/*
 * The signals that stop the daemon as SIGTERM does.  Every other signal
 * the system has is ignored, since most would end it without a stop, but
 * those kept at their default actions: the ones that report a fault of its
 * own, those that stop or continue it, SIGCHLD, and those none can catch.
 */
static const int stop_signals[] = { SIGTERM, SIGHUP, SIGINT, SIGQUIT };
static const int kept_signals[] = { SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT,
	SIGTRAP, SIGSYS, SIGCHLD, SIGCONT, SIGTSTP, SIGTTIN, SIGTTOU, SIGKILL,
	SIGSTOP };

/*
 * What no system tells, and is looked at instead.  A client that has
 * recorded nothing may have more dhclient children than there is room to
 * watch, looked for among at most most_children; and during a stop it may
 * start new ones, looked for every children_look_ms, as descendants given
 * to the starting process are.  Where the system will not tell of the
 * clients' files, they are looked at after every event, and every
 * file_look_ms while a client may record a new process, or has not written
 * its file in its first_write_ms: a file written and removed again between
 * two looks would go unseen.
 */
static const int most_children = 64;
static const int children_look_ms = 10;
static const int file_look_ms = 2;
static const long first_write_ms = 1000;

/* The tag of the starting process's channel, beside the clients' ids. */
enum { report_tag = 2 };

/* As many events as all that is watched at once may make. */
enum { most_events = 2 * most_watched + 4 };

/* Whether value is one of list's. */
template <size_t n>
static int
listed(const int (&list)[n], int value)
{
	for (size_t i = 0; i < n; i++)
		if (list[i] == value)
			return 1;
	return 0;
}

static int ignored_signals(sigset_t *ignored);
static int ignore_other_signals(void);
static int relay_report(
    const char *own_pidfile, struct handover *h, pid_t daemon);
static int end_children(const char *name, long asked);
static int let_go(int fds[], int n);
static int take_back(struct handover *h);
static int start_clients(struct handover *h, const sigset_t *ignored);
[[noreturn]] static void abandon_start(
    const char *own_pidfile, struct handover *h);
static int watch_clients(struct handover *h);
static void decide_mode(struct handover *h, bool ready);
static void take_events(struct handover *h, const struct event events[], int n);
static void feed(struct handover *h, struct client *c, enum client_news news);
static int act(struct client *c, enum client_state was);
static void hear_from(struct handover *h, struct client *c);
static void look_at_file(struct handover *h, struct client *c);
static void take_end(struct client *c, int slot);
static bool adopt(struct client *c, pid_t pid);
static int client_alive(pid_t pid);
static int proven_client(pid_t pid, const struct client *c);
static int ready_client(struct client *c);
static int start_again(struct client *c, const sigset_t *ignored);
static int watch_started(struct client *c);
static int stop_clients(struct handover *h);
static void stop_client(struct client *c);
static int watch_children(struct client *c);
static int free_slot(const struct client *c);
static int slot_of(const struct client *c, pid_t pid);
static bool any_live(const struct client *c);
static int children_unseen(const struct client *c);
static long wait_ms(const struct handover *h, long left_ms);
static void sooner(long *timeout, long ms);
static int tag_of(const struct client *c, int slot);
static long elapsed_ms(long since_ms);

/* What the IPv6 client's restart needs: the signals the caller ignored. */
static sigset_t caller_ignored;

int
prepare_client(struct client *c, int id, const char *ifname,
    const char *pidfile, const char *const argv[])
{
	memset(c, 0, sizeof(*c));
	c->id = id;
	c->ifname = ifname;
	c->pidfile = pidfile;
	c->argv = argv;
	c->link[0] = c->link[1] = -1;
	enter(c, ended, clock_ms());
	return ready_client(c);
}

void
run_supervisor(const char *own_pidfile, struct handover *h)
{
	struct client *v4 = &h->clients[0], *v6 = &h->clients[1];
	struct event events[most_events];
	int own[4];
	char byte = 0;
	pid_t daemon;
	int status;

	/*
	 * The daemon is made first, and starts the clients itself: whatever
	 * becomes of the starting process (the caller's Ctrl-C, a SIGKILL),
	 * no client is left that no daemon stands for.  The starting process
	 * returns only once the daemon has recorded its PID and let go of the
	 * caller's descriptors, so that its status tells the truth and a
	 * caller finds the file in place; a stop signal to it before then
	 * stops the start.  What a daemon killed before its report leaves is
	 * given to the starting process, which ends it.
	 */
	h->mode = starting;
	if (ignored_signals(&caller_ignored) == -1 ||
	    catch_stop_signals(stop_signals, 4) == -1)
		exit(1);
	become_reaper();
	switch (daemon = fork()) {
	case -1:
		exit(1);
	case 0:
		/*
		 * And it is its clients': a process of theirs gone into the
		 * background is given to it as its parent ends, and so found
		 * by the stop even before it has recorded itself.
		 */
		become_reaper();
		break;
	default:
		_exit(relay_report(own_pidfile, h, daemon));
	}

	/*
	 * Until its report, the daemon is in the caller's session, as the
	 * clients it starts stay.  A stop signal meanwhile, its own or the
	 * starting process's, stops the start.
	 */
	close(h->ready[0]);
	h->ready[0] = -1;
	if ((h->own_fd = take_pidfile(own_pidfile)) == -1)
		exit(1);
	if (take_back(h) == -1) {
		remove_pidfile(own_pidfile, h->own_fd);
		exit(1);
	}
	if (start_clients(h, &caller_ignored) == -1 || setsid() == -1 ||
	    ignore_other_signals() == -1)
		abandon_start(own_pidfile, h);

	/* The watches are made once the daemon holds only its own. */
	own[0] = h->own_fd;
	own[1] = v4->link[0];
	own[2] = v6->link[0];
	own[3] = h->ready[1];
	if (write_pidfile(own[0], getpid()) == -1 || let_go(own, 4) == -1)
		abandon_start(own_pidfile, h);
	h->own_fd = own[0];
	v4->link[0] = own[1];
	v6->link[0] = own[2];
	h->ready[1] = own[3];
	if (watch_clients(h) == -1)
		abandon_start(own_pidfile, h);
	decide_mode(h, true);
	if (h->mode == stopping)
		abandon_start(own_pidfile, h);

	/*
	 * The starting process may be gone already: without MSG_NOSIGNAL that
	 * would end the daemon by SIGPIPE.
	 */
	send(own[3], &byte, 1, MSG_NOSIGNAL);
	close(own[3]);
	h->ready[1] = -1;

	/*
	 * Asleep until the system tells of something: a stop signal, a
	 * client's process ending or its file changing, or a client's
	 * deadline.  The IPv6 client is kept running while the IPv4 client
	 * runs, and is started again only then.  The daemon reaps its
	 * children, the clients' processes, once it has taken their ends.
	 */
	for (;;) {
		decide_mode(h, false);
		if (h->mode == stopping)
			break;
		if (v4->state == running)
			feed(h, v6, partner_runs);
		int n = await_events(events, most_events, (int)wait_ms(h, -1));
		take_events(h, events, n);
		while (waitpid(-1, nullptr, WNOHANG) > 0)
			;
	}

	status = stop_clients(h);
	remove_pidfile(own_pidfile, own[0]);
	exit(status == 0 ? 0 : 1);
}

/*
 * The daemon's mode, decided here alone: it starts until it is ready to
 * report, and serves from then on until a stop signal has come or the
 * IPv4 client has ended (for good: its machine says so); then it stops.  A
 * stop signal before its report stops the start.
 */
static void
decide_mode(struct handover *h, bool ready)
{
	bool stop = h->stop_asked || stop_signal_came();

	switch (h->mode) {
	case starting:
		if (stop || ready)
			h->mode = stop ? stopping : serving;
		break;
	case serving:
		if (stop || h->clients[0].state == ended)
			h->mode = stopping;
		break;
	case stopping:
		break;
	}
}

/*
 * A start that failed after a client was started: stop the clients, remove
 * own_pidfile and exit 1.
 */
static void
abandon_start(const char *own_pidfile, struct handover *h)
{
	if (!h->watching)
		watch_clients(h);
	stop_clients(h);
	remove_pidfile(own_pidfile, h->own_fd);
	exit(1);
}

/* The signals ignored now, as the caller left them. */
static int
ignored_signals(sigset_t *ignored)
{
	struct sigaction was;

	sigemptyset(ignored);
	for (int sig = 1; sig <= last_signal(); sig++) {
		if (any_sigaction(sig, nullptr, &was) == -1)
			return -1;
		if (was.sa_handler == SIG_IGN)
			sigaddset(ignored, sig);
	}
	return 0;
}

/*
 * Every signal but the stop signals and those kept at their default
 * actions is ignored.
 */
static int
ignore_other_signals(void)
{
	struct sigaction ignore;

	memset(&ignore, 0, sizeof(ignore));
	ignore.sa_handler = SIG_IGN;
	sigemptyset(&ignore.sa_mask);
	for (int sig = 1; sig <= last_signal(); sig++)
		if (!listed(stop_signals, sig) && !listed(kept_signals, sig) &&
		    any_sigaction(sig, &ignore, nullptr) == -1)
			return -1;
	return 0;
}

/*
 * The starting process: wait for the daemon's report, then the end of its
 * channel, by then the daemon holds nothing of the caller's.  It holds none
 * of the clients' channels, which tell the daemon of their execs.  Returns
 * the start's status: 0 with the report; 1 without it, or after a stop
 * signal that came before it.  Such a signal is passed on to the daemon (its
 * child: its number cannot have been handed out again), which then stops
 * what it started; it is waited for.  A daemon that ends without its
 * report leaves what it started to this process, the reaper of its
 * descendants, which ends them and removes the PID file if no other
 * daemon holds it.
 */
static int
relay_report(const char *own_pidfile, struct handover *h, pid_t daemon)
{
	struct event events[most_events];
	int reported = 0, passed_on = 0;
	char byte;

	close(h->ready[1]);
	for (const struct client &c : h->clients)
		for (int link : c.link)
			close(link);
	/* Where the system will not tell, the channel is looked at. */
	bool told = watch_channel(h->ready[0], report_tag) == 0;
	for (;;) {
		await_events(events, most_events, told ? -1 : children_look_ms);
		/*
		 * Asked before the report is read: a signal caught in the
		 * wait, or one held back as the report woke it, came first.
		 */
		if (!reported && !passed_on && stop_signal_came())
			passed_on = kill(daemon, SIGTERM) == 0;
		ssize_t n = recv(h->ready[0], &byte, 1, MSG_DONTWAIT);
		if (n == 0 || (n == -1 && errno != EINTR && errno != EAGAIN))
			break;
		reported |= n == 1;
	}
	unwatch_channel(report_tag);
	if (reported && !passed_on)
		return 0;
	waitpid(daemon, nullptr, 0);
	if (!reported) {
		int fd;
		end_children(nullptr, clock_ms());
		if ((fd = take_pidfile(own_pidfile)) != -1)
			remove_pidfile(own_pidfile, fd);
	}
	return 1;
}

/*
 * SIGTERM once to each child this process has, until none is left,
 * stop_wait_ms from asked at the most.  All are its own, so none is
 * signalled or reaped but by it.  Descendants are given to it as their
 * parents end, which no event tells: it looks every children_look_ms.
 * Given a name, only live children of that command name count, and none
 * is reaped: whoever is their parent next tells their ends.  Returns 0
 * when none is left, -1 when one still runs.
 */
static int
end_children(const char *name, long asked)
{
	pid_t children[most_children], signalled[most_children];
	struct event events[most_events];
	char seen[64];
	int k = 0;

	for (;;) {
		int n, left = 0;
		while (name == nullptr && waitpid(-1, nullptr, WNOHANG) > 0)
			;
		n = child_processes(getpid(), children, most_children);
		for (int i = 0; i < n; i++) {
			bool known = false;
			if (name != nullptr &&
			    (process_name(children[i], seen, sizeof(seen)) !=
				    1 ||
				strcmp(seen, name) != 0))
				continue;
			left++;
			for (int j = 0; j < k; j++)
				known |= signalled[j] == children[i];
			if (!known && k < most_children &&
			    kill(children[i], SIGTERM) == 0)
				signalled[k++] = children[i];
		}
		if (left == 0 || elapsed_ms(asked) >= stop_wait_ms)
			return left == 0 ? 0 : -1;
		await_events(events, most_events, children_look_ms);
	}
}

/*
 * Hold nothing of the caller's: standard input, output and error on
 * /dev/null, and of all other descriptors only fds[0..n-1], which become
 * 3, 4, ... in that order.  Copies are made above that range first, so
 * that none of ours is lost where it already sits in it.  The platform's
 * watches hold none yet: they are made after.
 */
static int
let_go(int fds[], int n)
{
	int copies[4], null, i;

	if (n > 4 || (null = open("/dev/null", O_RDWR | O_CLOEXEC)) == -1)
		return -1;
	for (i = 0; i < n; i++)
		if ((copies[i] = fcntl(fds[i], F_DUPFD_CLOEXEC, 3 + n)) == -1)
			return -1;
	for (i = 0; i < 3; i++)
		if (dup2(null, i) == -1)
			return -1;
	for (i = 0; i < n; i++) {
		if (dup2(copies[i], 3 + i) == -1)
			return -1;
		fds[i] = 3 + i;
	}
	closefrom(3 + n);
	return 0;
}

/*
 * Before a start, while own_pidfile is held: end what the clients' files
 * name, where it is provably this interface's client, left running by an
 * earlier run that did not stop them; their machines take them as running
 * clients, as the daemon's stop does.  Returns 0, or -1 when one still
 * runs after a stop's bound.  It leaves no watch behind.
 */
static int
take_back(struct handover *h)
{
	bool found = false;
	int status = 0;

	for (struct client &c : h->clients)
		if (c.before.pid > 0 && adopt(&c, c.before.pid)) {
			c.wrote = true;
			feed(h, &c, record_taken);
			found = true;
		}
	if (found) {
		h->files_told = watch_file(h->clients[0].pidfile, 0) == 0 &&
		    watch_file(h->clients[1].pidfile, 1) == 0;
		status = stop_clients(h);
		for (struct client &c : h->clients) {
			close(c.link[0]);
			close(c.link[1]);
			if (ready_client(&c) == -1)
				status = -1;
		}
	}
	forget_watches();
	return status;
}

/*
 * The first start, in the caller's session, with the caller's descriptors
 * but none of the daemon's.  Returns -1 if a client cannot be started
 * (then the IPv4 client may have been).
 */
static int
start_clients(struct handover *h, const sigset_t *ignored)
{
	int ours[7] = { h->own_fd, h->ready[0], h->ready[1] };

	for (struct client &c : h->clients) {
		for (const struct client &other : h->clients) {
			ours[3 + 2 * other.id] = other.link[0];
			ours[4 + 2 * other.id] =
			    &other == &c ? -1 : other.link[1];
		}
		pid_t pid = launch(c.argv, c.id == 1 ? h->ifname : nullptr,
		    c.link[1], ours, 7, ignored, true);
		close(c.link[1]);
		c.link[1] = -1;
		if (pid == -1)
			return -1;
		c.procs[started_slot] = pid;
		feed(h, &c, started);
	}
	return 0;
}

/*
 * Watch each client: its started process (a child of the daemon's: until
 * it is reaped, its number is its own), its channel while it launches, and
 * its file.  What a client wrote before is seen when its exec is.  Returns
 * -1 if a started process or a channel cannot be watched.
 */
static int
watch_clients(struct handover *h)
{
	int status = 0;

	h->watching = true;
	for (struct client &c : h->clients)
		if (watch_started(&c) == -1 ||
		    (c.state == launching &&
			watch_channel(c.link[0], c.id) == -1))
			status = -1;
	h->files_told = watch_file(h->clients[0].pidfile, 0) == 0 &&
	    watch_file(h->clients[1].pidfile, 1) == 0;
	return status;
}

/*
 * Take what the system told, and tell the clients.  The channels and files
 * are taken before the ends, so that the end of the process a file names
 * is known as its record's; then a running client without a live process
 * is told its last is gone, and each client whose deadline has passed is
 * told so.
 */
static void
take_events(struct handover *h, const struct event events[], int n)
{
	long now;

	for (int i = 0; i < n; i++)
		switch (events[i].kind) {
		case stop_signal:
			h->stop_asked = true;
			break;
		case channel_ready:
			/* Its file is looked at from its exec on. */
			hear_from(h, &h->clients[events[i].tag]);
			look_at_file(h, &h->clients[events[i].tag]);
			break;
		case file_changed:
			look_at_file(h, &h->clients[events[i].tag]);
			break;
		default:
			break;
		}
	/* A stop signal stops what would follow, a restart among them. */
	decide_mode(h, false);
	if (!h->files_told)
		for (struct client &c : h->clients)
			look_at_file(h, &c);
	for (int i = 0; i < n; i++)
		if (events[i].kind == process_ended)
			take_end(&h->clients[events[i].tag / process_slots],
			    events[i].tag % process_slots);
	for (struct client &c : h->clients)
		if (c.state == running && !any_live(&c))
			feed(h, &c, last_gone);
	now = clock_ms();
	for (struct client &c : h->clients)
		if (c.deadline_ms >= 0 && now >= c.deadline_ms)
			feed(h, &c, deadline);
}

/*
 * Tell client c news, with what it asks about: whether its file is held
 * locked (asked only of a client that has written its file and has no
 * live process left, lest the probe's own lock get in a starting client's
 * way), and whether the IPv4 client runs while the daemon serves.
 */
static void
feed(struct handover *h, struct client *c, enum client_news news)
{
	for (;;) {
		struct client_event e = { news, false, false };
		enum client_state was = c->state;

		if ((news == last_gone || news == deadline) &&
		    (c->state == running || c->state == settling ||
			c->state == locked))
			e.locked = c->wrote && pidfile_locked(c->pidfile);
		e.partner_running =
		    h->mode == serving && h->clients[0].state == running;
		client_step(c, &e, clock_ms());
		if (act(c, was) == 0)
			return;
		news = never_execs;
	}
}

/*
 * What the daemon does as a client moves: a client that has left launching
 * has no more use for its channel; one paused or deferred that is launching
 * is started again.  Returns -1 when that start failed: the client never
 * execs, and is told so.
 */
static int
act(struct client *c, enum client_state was)
{
	if (was == launching && c->state != launching) {
		unwatch_channel(c->id);
		close(c->link[0]);
		c->link[0] = -1;
	}
	if ((was == paused || was == deferred) && c->state == launching)
		return start_again(c, &caller_ignored);
	return 0;
}

/*
 * Whether the client's process has become the client: the channel ends at
 * its exec (or its death), and the process says with a byte that it never
 * will (it could not be executed, or it gave up waiting).
 */
static void
hear_from(struct handover *h, struct client *c)
{
	char byte;
	ssize_t n;

	if (c->state != launching)
		return;
	n = recv(c->link[0], &byte, 1, MSG_DONTWAIT);
	if (n == -1 && (errno == EAGAIN || errno == EINTR))
		return;
	feed(h, c, n == 1 ? never_execs : exec_seen);
}

/*
 * Look at a client's file.  A record counts once this client has made it
 * (the file differs from the last look) and it names a live dhclient, or
 * one of the client's processes, ended or not.  A client still launching
 * has written nothing yet.
 */
static void
look_at_file(struct handover *h, struct client *c)
{
	struct pidfile_state now;
	bool taken;

	if (c->state == launching)
		return;
	read_pidfile(c->pidfile, &now);
	c->wrote |= !same_pidfile(&now, &c->before);
	taken = now.pid > 0 && now.pid != c->record &&
	    !same_pidfile(&now, &c->seen) && adopt(c, now.pid);
	c->seen = now;
	if (taken)
		feed(h, c, record_taken);
	if (c->wrote && !now.exists)
		feed(h, c, file_gone);
}

/*
 * A process of the client's has ended: forgotten, and if it was the record,
 * whether the stop's SIGTERM ended it.
 */
static void
take_end(struct client *c, int slot)
{
	if (c->procs[slot] == 0)
		return;
	if (c->procs[slot] == c->record) {
		c->record_stopped = (c->signalled & (1U << slot)) != 0;
		c->record = 0;
	}
	unwatch_process(tag_of(c, slot));
	c->procs[slot] = 0;
	c->signalled &= ~(1U << slot);
}

/*
 * Take pid, just recorded, for the client's process, if it is provably
 * this client and there is room: watched first, then proven, so that the
 * proof is that of the watched process.  What it recorded before stays
 * watched until it ends.  Whether the client holds its file locked is asked
 * then, while it surely runs.  Returns whether it was taken.
 */
static bool
adopt(struct client *c, pid_t pid)
{
	if (slot_of(c, pid) == -1) {
		int slot = free_slot(c);
		if (slot == -1 || !proven_client(pid, c))
			return false;
		c->signalled &= ~(1U << slot);
		if (watch_process(pid, tag_of(c, slot)) == -1)
			return false;
		if (!proven_client(pid, c)) {
			unwatch_process(tag_of(c, slot));
			return false;
		}
		c->procs[slot] = pid;
	}
	c->record = pid;
	c->record_stopped = false;
	c->locks |= pidfile_locked(c->pidfile);
	return true;
}

/*
 * A PID is a live client unless it is known not to be: no such process, or
 * its number now held by a program of another name.
 */
static int
client_alive(pid_t pid)
{
	char name[64];

	switch (process_name(pid, name, sizeof(name))) {
	case 0:
		return 0;
	case 1:
		return strcmp(name, client_name) == 0;
	default:
		return 1;
	}
}

/*
 * Whether process pid is provably this client, when it is not one the
 * client's own process started: a live dhclient whose arguments, as the
 * system shows them, name the client's PID file (the ISC client keeps its
 * arguments); or, as the base client rewrites its title to "dhclient: IF"
 * (its helper's to "dhclient: IF [priv]"), one whose title names this
 * interface while the file is held locked.  Another interface's client,
 * a process of another name, or one whose arguments cannot be told, is
 * not.
 */
static int
proven_client(pid_t pid, const struct client *c)
{
	char name[64], args[1024], title[64];
	ssize_t n;
	int len;

	if (process_name(pid, name, sizeof(name)) != 1 ||
	    strcmp(name, client_name) != 0 ||
	    (n = process_arguments(pid, args, sizeof(args) - 1)) <= 0)
		return 0;
	args[n] = '\0';
	for (const char *arg = args; arg < args + n; arg += strlen(arg) + 1)
		if (strcmp(arg, c->pidfile) == 0)
			return 1;
	len = snprintf(title, sizeof(title), "%s: %s", client_name, c->ifname);
	return len < (int)sizeof(title) && strncmp(args, title, len) == 0 &&
	    (args[len] == '\0' || strcmp(args + len, " [priv]") == 0) &&
	    pidfile_locked(c->pidfile);
}

/*
 * Make client c ready to be started: its PID file as it is before the
 * start (what it holds is not this client's), nothing of it known, and a
 * fresh channel to its process.  Returns -1 if no channel can be made.
 */
static int
ready_client(struct client *c)
{
	read_pidfile(c->pidfile, &c->before);
	c->seen = c->before;
	c->record = 0;
	c->signalled = 0;
	c->wrote = c->locks = c->record_stopped = false;
	c->link[0] = c->link[1] = -1;
	return socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, c->link);
}

/*
 * The IPv6 client's pause is over: start it again as the first time, from
 * a fresh channel and its file as it is now, as a child of the daemon
 * holding nothing of the daemon's.  Returns -1 if it cannot be.
 */
static int
start_again(struct client *c, const sigset_t *ignored)
{
	pid_t pid;

	if (ready_client(c) == -1)
		return -1;
	pid =
	    launch(c->argv, c->ifname, c->link[1], nullptr, 0, ignored, false);
	close(c->link[1]);
	c->link[1] = -1;
	c->procs[started_slot] = pid == -1 ? 0 : pid;
	if (pid == -1 || watch_started(c) == -1)
		return -1;
	/* Not to be left running unheard of. */
	if (watch_channel(c->link[0], c->id) == -1) {
		signal_process(tag_of(c, started_slot), SIGTERM);
		return -1;
	}
	return 0;
}

/*
 * Watch the process started for the client, a child of the daemon's: until
 * the daemon reaps it, its number is its own.  Returns -1 if it is there but
 * cannot be watched, and sends it SIGTERM by that number.
 */
static int
watch_started(struct client *c)
{
	pid_t pid = c->procs[started_slot];

	if (pid == 0 || watch_process(pid, tag_of(c, started_slot)) == 0)
		return 0;
	c->procs[started_slot] = 0;
	if (errno == ESRCH)
		return 0;
	kill(pid, SIGTERM);
	return -1;
}

/*
 * SIGTERM to each client's live processes, IPv4 first, and then wait until
 * every process signalled has ended and neither client's file is held
 * locked, stop_wait_ms at the most; at every event, a process a client
 * forks or records meanwhile is reached too.  A client still launching
 * gives up, and one paused is not started again.  Then a dhclient left
 * among the daemon's children, a client's process orphaned before it
 * recorded itself (or after its window), has SIGTERM too, within the same
 * bound.  Returns 0 when both clients have ended, -1 when a process known
 * for one, or such a dhclient, still runs.
 */
static int
stop_clients(struct handover *h)
{
	struct event events[most_events];
	long asked = clock_ms();

	for (struct client &c : h->clients) {
		if (c.state == launching)
			shutdown(c.link[0], SHUT_WR);
		feed(h, &c, stop_begins);
	}
	for (;;) {
		bool done = true;
		for (struct client &c : h->clients) {
			stop_client(&c);
			/* An ended client's helper may hold its file still. */
			if (c.state == ended && c.wrote &&
			    pidfile_locked(c.pidfile)) {
				c.locks = true;
				done = false;
			}
			done &= c.state == ended;
		}
		long left = stop_wait_ms - elapsed_ms(asked);
		if (done)
			return end_children(client_name, asked);
		if (left <= 0)
			return -1;
		int n =
		    await_events(events, most_events, (int)wait_ms(h, left));
		take_events(h, events, n);
	}
}

/*
 * SIGTERM to each live process of a running client that has not had it.
 * It never signals 0 (its own group), a negative number (a group, or every
 * process), a process that has ended, or a record or child of another
 * name than the clients'.  The started process has it only once each of
 * its dhclient children is watched: they are known for the client's only
 * while they are its children.
 */
static void
stop_client(struct client *c)
{
	int unwatched = 0;

	if (c->state != running)
		return;
	if (children_unseen(c))
		unwatched = watch_children(c);
	for (int i = process_slots - 1; i >= 0; i--)
		if (c->procs[i] != 0 && (c->signalled & (1U << i)) == 0 &&
		    (i != started_slot || unwatched == 0) &&
		    signal_process(tag_of(c, i), SIGTERM) == 0)
			c->signalled |= 1U << i;
}

/*
 * A client that has recorded nothing may be at work in a child of the
 * process started for it: the ISC client forks at once, and its first
 * process only waits until the child has a lease.  Its children named
 * dhclient are the client too, and are watched, as many as there is room
 * for.  Each is taken only if it is, once watched, a dhclient whose parent
 * is the started process's number, and that process still lives after:
 * until it has ended, its number is its own, and the child's parent is it.
 * Returns how many of them are left unwatched, or may be, for want of
 * room.
 */
static int
watch_children(struct client *c)
{
	pid_t started = c->procs[started_slot];
	pid_t children[most_children];
	int n = child_processes(started, children, most_children);
	int unwatched = n == most_children, taken[process_slots], k = 0, slot;

	for (int i = 0; i < n; i++) {
		if (slot_of(c, children[i]) != -1)
			continue;
		if ((slot = free_slot(c)) == -1)
			unwatched += client_alive(children[i]);
		else if (watch_process(children[i], tag_of(c, slot)) == 0) {
			if (client_alive(children[i]) &&
			    process_parent(children[i]) == started) {
				c->procs[slot] = children[i];
				taken[k++] = slot;
			} else
				unwatch_process(tag_of(c, slot));
		}
	}
	if (k == 0)
		return unwatched;
	bool started_ended = process_has_ended(tag_of(c, started_slot));
	for (int i = 0; i < k; i++)
		if (started_ended || process_has_ended(tag_of(c, taken[i]))) {
			unwatch_process(tag_of(c, taken[i]));
			c->procs[taken[i]] = 0;
		}
	return started_ended ? 0 : unwatched;
}

/* A slot that watches nothing, other than the started process's, or -1. */
static int
free_slot(const struct client *c)
{
	for (int i = first_other_slot; i < process_slots; i++)
		if (c->procs[i] == 0)
			return i;
	return -1;
}

/* The slot in which the client's process pid is watched, or -1. */
static int
slot_of(const struct client *c, pid_t pid)
{
	for (int i = 0; i < process_slots; i++)
		if (c->procs[i] == pid)
			return i;
	return -1;
}

/* Whether a process of the client's is watched and has not been told ended. */
static bool
any_live(const struct client *c)
{
	for (int i = 0; i < process_slots; i++)
		if (c->procs[i] != 0)
			return true;
	return false;
}

/*
 * Whether the client may have dhclient children not yet watched: it has
 * recorded nothing, and the process started for it lives.
 */
static int
children_unseen(const struct client *c)
{
	return c->state == running && c->record == 0 &&
	    c->procs[started_slot] != 0;
}

/*
 * How long to wait for the system to tell something: until the stop's time
 * is up (left_ms; -1 outside a stop) or the first client's deadline, and
 * no longer than a look at what no system tells: a file where the system
 * will not tell of it, while a client may write it; and in a stop, a
 * client's children not yet seen, or an ended client's lock.  -1 for no
 * limit.
 */
static long
wait_ms(const struct handover *h, long left_ms)
{
	long now = clock_ms(), timeout = left_ms;

	for (const struct client &c : h->clients) {
		bool may_write = c.state == settling || c.state == locked ||
		    (c.state == running && !c.wrote &&
			now - c.since_ms < first_write_ms);
		if (c.deadline_ms >= 0)
			sooner(&timeout,
			    c.deadline_ms > now ? c.deadline_ms - now : 0);
		if (!h->files_told && may_write)
			sooner(&timeout, file_look_ms);
		if (left_ms >= 0 && children_unseen(&c))
			sooner(&timeout, children_look_ms);
		if (left_ms >= 0 && c.state == ended && c.locks)
			sooner(&timeout, lock_look_ms);
	}
	return timeout;
}

/* Make timeout (-1: none) no longer than ms. */
static void
sooner(long *timeout, long ms)
{
	if (*timeout < 0 || *timeout > ms)
		*timeout = ms;
}

/* The tag under which the process in the client's slot is watched. */
static int
tag_of(const struct client *c, int slot)
{
	return c->id * process_slots + slot;
}

long
clock_ms(void)
{
	struct timespec now;

	clock_gettime(CLOCK_MONOTONIC, &now);
	return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static long
elapsed_ms(long since_ms)
{
	return clock_ms() - since_ms;
}
