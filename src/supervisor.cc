/*
 * The detached supervisor: the daemon that stands for both clients under
 * the interface's DHCP-client PID file, starts the IPv6 client again
 * whenever it ends, and stops both on SIGTERM, or once the IPv4 client has
 * ended on its own.
 */

#include <sys/types.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "launch.h"
#include "pidfile.h"
#include "platform.h"
#include "supervisor.h"

/* The command name of both clients, whatever their paths. */
static const char client_name[] = "dhclient";

/*
 * A client whose last process has ended may have forked into the
 * background, and record its new PID a moment later.  The base client
 * holds its PID file locked meanwhile, and until it has ended for good,
 * with its helper process, which lets go of the lock a moment after it: a
 * held lock is waited for, stop_wait_ms at the most.  Where nothing holds
 * it, a record is given record_wait_ms.  While it waits on either, the
 * daemon looks every tick_ms.  It does so too for a client's first second,
 * until it has written its file: a file written and removed again between
 * two looks would go unseen.  A stop waits stop_wait_ms at the most for
 * the clients to end.
 */
static const long record_wait_ms = 250;
static const long first_write_ms = 1000;
static const long stop_wait_ms = 5000;
static const int tick_ms = 2;

/*
 * The IPv6 client is started again after a pause: first_pause_ms after an
 * end, twice the last pause after a client that ended within ran_long_ms
 * of its start, most_pause_ms at the most.
 */
static const long first_pause_ms = 1000;
static const long most_pause_ms = 60000;
static const long ran_long_ms = 60000;

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
 * A client that has recorded nothing may have more dhclient children than
 * there is room to watch, looked for among at most most_children; and
 * during a stop it may start new ones, looked for every children_look_ms.
 */
static const int most_children = 64;
static const int children_look_ms = 10;

static volatile sig_atomic_t term_requested;

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

static void handle_sigterm(int);
static void ignored_signals(sigset_t *ignored);
static void catch_stop_signals(sigset_t *waiting);
static void ignore_other_signals(void);
static int stop_pending(void);
static int relay_report(const char *own_pidfile, struct handover *h,
    pid_t daemon, const sigset_t *waiting);
static void end_descendants(void);
static int let_go(int fds[], int n);
static int watch_started(struct client *c);
static void look(struct client *c);
static void hear_from(struct client *c);
static void settle(struct client *c);
static void adopt(struct client *c, pid_t pid);
static int client_alive(pid_t pid);
static int proven_client(pid_t pid, const struct client *c);
static void start_again(
    struct client *c, const struct handover *h, const sigset_t *ignored);
static int stop_clients(struct client clients[2], const sigset_t *waiting);
static void stop_client(struct client *c);
static int watch_children(struct client *c);
static struct watch *free_slot(struct client *c);
static void take_ends(struct client *c);
static int slot_of(const struct client *c, pid_t pid);
static void wait_for_clients(
    struct client clients[2], long left_ms, const sigset_t *waiting);
static long look_again_ms(const struct client *c, int stopping);
static int children_unseen(const struct client *c);
static void enter(struct client *c, enum client_state state);
static long elapsed_ms(long since_ms);

void
run_supervisor(const char *own_pidfile, struct handover *h)
{
	struct client *v4 = &h->clients[0], *v6 = &h->clients[1];
	sigset_t waiting, ignored;
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
	ignored_signals(&ignored);
	catch_stop_signals(&waiting);
	become_reaper();
	switch (daemon = fork()) {
	case -1:
		exit(1);
	case 0:
		break;
	default:
		_exit(relay_report(own_pidfile, h, daemon, &waiting));
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
	if (take_back(h) == -1 ||
	    launch_client(v4, nullptr, h, &ignored, true) == -1) {
		remove_pidfile(own_pidfile, h->own_fd);
		exit(1);
	}
	if (launch_client(v6, h->ifname, h, &ignored, true) == -1 ||
	    setsid() == -1)
		abandon_start(own_pidfile, h);

	ignore_other_signals();
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
	/* Its children: unreaped, their numbers are still their own. */
	h->watching = true;
	if (watch_started(v4) == -1 || watch_started(v6) == -1 ||
	    stop_pending())
		abandon_start(own_pidfile, h);

	/*
	 * The starting process may be gone already: without MSG_NOSIGNAL that
	 * would end the daemon by SIGPIPE.
	 */
	send(own[3], &byte, 1, MSG_NOSIGNAL);
	close(own[3]);
	h->ready[1] = -1;

	/*
	 * Asleep until a stop signal comes, a client's process ends or the
	 * IPv6 client's pause is over; awake every tick only while a client
	 * without a live process may yet record a new one.  The IPv6 client
	 * is kept running while the IPv4 client runs, and is started again
	 * only then.
	 */
	for (;;) {
		look(v4);
		look(v6);
		if (term_requested || v4->state == ended)
			break;
		if (v6->state == ended && v4->state == running)
			enter(v6, paused);
		if (v6->state == paused && v4->state == running &&
		    elapsed_ms(v6->since_ms) >= v6->pause_ms)
			start_again(v6, h, &ignored);
		wait_for_clients(h->clients, -1, &waiting);
	}

	status = stop_clients(h->clients, &waiting);
	remove_pidfile(own_pidfile, own[0]);
	exit(status == 0 ? 0 : 1);
}

void
abandon_start(const char *own_pidfile, struct handover *h)
{
	if (!h->watching) {
		h->watching = true;
		watch_started(&h->clients[0]);
		watch_started(&h->clients[1]);
	}
	stop_clients(h->clients, nullptr);
	remove_pidfile(own_pidfile, h->own_fd);
	exit(1);
}

static void
handle_sigterm(int)
{
	term_requested = 1;
}

/* The signals ignored now, as the caller left them. */
static void
ignored_signals(sigset_t *ignored)
{
	struct sigaction was;

	sigemptyset(ignored);
	for (int sig = 1; sig <= last_signal(); sig++)
		if (any_sigaction(sig, nullptr, &was) == 0 &&
		    was.sa_handler == SIG_IGN)
			sigaddset(ignored, sig);
}

/*
 * The stop signals are caught, but held back except while the process
 * waits: one that comes between a look at term_requested and the wait is
 * caught as the wait begins.  waiting is the signal mask for the wait.
 */
static void
catch_stop_signals(sigset_t *waiting)
{
	struct sigaction stop;
	sigset_t held;

	memset(&stop, 0, sizeof(stop));
	sigemptyset(&held);
	for (int sig : stop_signals)
		sigaddset(&held, sig);
	sigprocmask(SIG_BLOCK, &held, waiting);
	for (int sig : stop_signals)
		sigdelset(waiting, sig);
	stop.sa_handler = handle_sigterm;
	stop.sa_mask = held;
	for (int sig : stop_signals)
		sigaction(sig, &stop, nullptr);
}

/*
 * Every signal but the stop signals and those kept at their default
 * actions is ignored.
 */
static void
ignore_other_signals(void)
{
	struct sigaction ignore;

	memset(&ignore, 0, sizeof(ignore));
	ignore.sa_handler = SIG_IGN;
	sigemptyset(&ignore.sa_mask);
	for (int sig = 1; sig <= last_signal(); sig++)
		if (!listed(stop_signals, sig) && !listed(kept_signals, sig))
			any_sigaction(sig, &ignore, nullptr);
}

/* Whether a stop signal has come and is held back. */
static int
stop_pending(void)
{
	sigset_t pending;

	sigpending(&pending);
	for (int sig : stop_signals)
		if (sigismember(&pending, sig) == 1)
			return 1;
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
relay_report(const char *own_pidfile, struct handover *h, pid_t daemon,
    const sigset_t *waiting)
{
	int fds[1] = { h->ready[0] };
	int reported = 0, passed_on = 0;
	char byte;

	close(h->ready[1]);
	for (const struct client &c : h->clients)
		for (int link : c.link)
			close(link);
	fcntl(fds[0], F_SETFL, O_NONBLOCK);
	for (;;) {
		await_events(nullptr, 0, fds, 1, -1, waiting);
		/*
		 * Asked before the report is read: a signal caught in the
		 * wait, or one held back as the report woke it, came first.
		 */
		if (!reported && !passed_on &&
		    (term_requested || stop_pending()))
			passed_on = kill(daemon, SIGTERM) == 0;
		ssize_t n = read(fds[0], &byte, 1);
		if (n == 0 || (n == -1 && errno != EINTR && errno != EAGAIN))
			break;
		reported |= n == 1;
	}
	if (reported && !passed_on)
		return 0;
	waitpid(daemon, nullptr, 0);
	if (!reported) {
		int fd;
		end_descendants();
		if ((fd = take_pidfile(own_pidfile)) != -1)
			remove_pidfile(own_pidfile, fd);
	}
	return 1;
}

/*
 * SIGTERM once to each child this process has, until none is left,
 * stop_wait_ms at the most.  All are its own, so none is signalled or
 * reaped but by it.  Descendants are given to it as their parents end, which
 * no event tells: it looks every children_look_ms.
 */
static void
end_descendants(void)
{
	pid_t children[most_children], signalled[most_children];
	long asked = clock_ms();
	int n, k = 0;

	while ((n = child_processes(getpid(), children, most_children)) > 0 &&
	    elapsed_ms(asked) < stop_wait_ms) {
		for (int i = 0; i < n; i++) {
			bool known = false;
			for (int j = 0; j < k; j++)
				known |= signalled[j] == children[i];
			if (!known && k < most_children &&
			    kill(children[i], SIGTERM) == 0)
				signalled[k++] = children[i];
		}
		await_events(nullptr, 0, nullptr, 0, children_look_ms, nullptr);
		while (waitpid(-1, nullptr, WNOHANG) > 0)
			;
	}
}

/*
 * Hold nothing of the caller's: standard input, output and error on
 * /dev/null, and of all other descriptors only fds[0..n-1], which become
 * 3, 4, ... in that order.  Copies are made above that range first, so
 * that none of ours is lost where it already sits in it.
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
 * Watch the process started for the client, a child of the daemon's: until
 * the daemon reaps it, its number is its own.  Returns -1 if it is there but
 * cannot be watched, and sends it SIGTERM by that number.
 */
static int
watch_started(struct client *c)
{
	struct watch *w = &c->procs[started_slot];
	pid_t pid = w->pid;

	w->pid = 0;
	if (watch_process(w, pid) == 0 || errno == ESRCH)
		return 0;
	kill(pid, SIGTERM);
	return -1;
}

/*
 * Look at a client as it is now and move it on: whether its process has
 * become the client, what its PID file holds, and which of its processes
 * have ended.  A record counts once this client has made it (the file
 * differs from the last look) and it names a live dhclient, or one of the
 * client's processes, ended or not: the file is read before the ends are
 * taken, so that the end of the process it names is known as its
 * record's.  A client whose last process was its record, ended by the
 * stop's SIGTERM, has ended for good; any other without a live process
 * settles.  (A process it never recorded may have forked after the stop
 * looked for its children, before the SIGTERM came.)
 */
static void
look(struct client *c)
{
	struct pidfile_state now;
	bool live = false, record_stopped = false;

	if (c->state == launching) {
		hear_from(c);
		if (c->state == launching)
			return;
	}
	if (c->state != paused) {
		read_pidfile(c->pidfile, &now);
		c->wrote |= !same_pidfile(&now, &c->before);
		if (now.pid > 0 && now.pid != c->record &&
		    !same_pidfile(&now, &c->seen))
			adopt(c, now.pid);
		c->seen = now;
	}

	for (int i = 0; i < process_slots; i++) {
		struct watch *w = &c->procs[i];
		if (w->pid != 0 && w->ended) {
			if (w->pid == c->record) {
				record_stopped =
				    (c->signalled & (1U << i)) != 0;
				c->record = 0;
			}
			unwatch_process(w);
			c->signalled &= ~(1U << i);
		}
		live |= w->pid != 0;
	}

	switch (c->state) {
	case running:
		if (!live)
			enter(c, record_stopped ? ended : settling);
		break;
	case settling:
	case ended:
		if (c->record != 0)
			enter(c, running);
		break;
	default:
		break;
	}
	if (c->state == settling)
		settle(c);
}

/*
 * Whether the client's process has become the client: the channel ends at
 * its exec (or its death), which is when its run is counted from, and it
 * says with a byte that it never will (it could not be executed, or it gave
 * up waiting).  Then nothing of it will follow, and it has ended.
 */
static void
hear_from(struct client *c)
{
	struct pollfd answer = { c->link[0], POLLIN, 0 };
	char byte;
	ssize_t n;

	if (poll(&answer, 1, 0) != 1 || (n = read(c->link[0], &byte, 1)) == -1)
		return;
	if (n == 0)
		c->started_ms = clock_ms();
	enter(c, n == 1 ? ended : running);
}

/*
 * A client without a live process may have forked into the background,
 * and record its new PID a moment later.  One that holds its file locked,
 * as the base client does, has ended once nothing holds the lock (however
 * soon that was) or the file it wrote is removed, as the base client's
 * helper does at its end; a lock still held is waited for stop_wait_ms.
 * Any other is given record_wait_ms to record a new process.
 */
static void
settle(struct client *c)
{
	long since = elapsed_ms(c->since_ms);
	bool held = c->wrote && pidfile_locked(c->pidfile);

	c->locks |= held;
	if (held ? since >= stop_wait_ms
		 : c->locks || (c->wrote && !c->seen.exists) ||
		    since >= record_wait_ms)
		enter(c, ended);
}

/*
 * Take pid, just recorded, for the client's process, if it is provably
 * this client and there is room: watched first, then proven, so that the
 * proof is that of the watched process.  What it recorded before stays
 * watched until it ends.  Whether the client holds its file locked is asked
 * then, while it surely runs.
 */
static void
adopt(struct client *c, pid_t pid)
{
	if (slot_of(c, pid) == -1) {
		struct watch *w = free_slot(c);
		if (w == nullptr || !proven_client(pid, c))
			return;
		c->signalled &= ~(1U << (w - c->procs));
		if (watch_process(w, pid) == -1 || !proven_client(pid, c)) {
			unwatch_process(w);
			return;
		}
	}
	c->record = pid;
	c->locks |= pidfile_locked(c->pidfile);
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

int
take_back(struct handover *h)
{
	bool found = false;
	int status;

	for (struct client &c : h->clients) {
		c.state = ended;
		if (c.before.pid > 0)
			adopt(&c, c.before.pid);
		if (c.record == 0)
			continue;
		c.wrote = true;
		enter(&c, running);
		found = true;
	}
	if (!found) {
		for (struct client &c : h->clients)
			c.state = launching;
		return 0;
	}
	status = stop_clients(h->clients, nullptr);
	for (struct client &c : h->clients) {
		close(c.link[0]);
		close(c.link[1]);
		if (ready_client(&c) == -1)
			status = -1;
	}
	return status;
}

/*
 * The IPv6 client's pause is over: start it again as the first time, from
 * a fresh channel and its file as it is now, as a child of the daemon.
 * The pause after its next end is first_pause_ms if it ran ran_long_ms,
 * or else twice this one, most_pause_ms at the most.  If no child can be
 * made, it has ended again, and is paused again.
 */
static void
start_again(struct client *c, const struct handover *h, const sigset_t *ignored)
{
	close(c->link[0]);
	unwatch_process(&c->procs[started_slot]);
	if (ready_client(c) == -1) {
		c->started_ms = clock_ms();
		enter(c, ended);
		return;
	}
	if (launch_client(c, h->ifname, h, ignored, false) != -1 &&
	    watch_started(c) == -1)
		enter(c, ended);
}

/*
 * SIGTERM to each client's live processes, IPv4 first, and then wait until
 * every process signalled has ended and neither client's file is held
 * locked, stop_wait_ms at the most; looked at again at every event, so
 * that a process a client forks or records meanwhile is reached too.  A
 * client still starting gives up, and one paused is not started again.
 * Returns 0 when both clients have ended, -1 when a process known for one
 * still runs.
 */
static int
stop_clients(struct client clients[2], const sigset_t *waiting)
{
	long asked = clock_ms();

	for (int i = 0; i < 2; i++) {
		if (clients[i].state == launching)
			shutdown(clients[i].link[0], SHUT_WR);
		else if (clients[i].state == paused)
			enter(&clients[i], ended);
	}
	for (;;) {
		bool done = true, held = false;
		for (int i = 0; i < 2; i++) {
			struct client *c = &clients[i];
			look(c);
			stop_client(c);
			if (c->state == ended && c->wrote &&
			    pidfile_locked(c->pidfile))
				held = c->locks = true;
			done &= c->state == ended && !held;
		}
		long left = stop_wait_ms - elapsed_ms(asked);
		if (done || left <= 0)
			return done ? 0 : -1;
		/* No event tells when a lock is let go: it is looked at. */
		wait_for_clients(
		    clients, held && left > tick_ms ? tick_ms : left, waiting);
	}
}

/*
 * SIGTERM to each live process of the client that has not had it.  It
 * never signals 0 (its own group), a negative number (a group, or every
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
	for (int i = process_slots - 1; i >= 0; i--) {
		struct watch *w = &c->procs[i];
		if (w->pid != 0 && (c->signalled & (1U << i)) == 0 &&
		    (i != started_slot || unwatched == 0) &&
		    signal_process(w, SIGTERM) == 0)
			c->signalled |= 1U << i;
	}
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
	struct watch *started = &c->procs[started_slot];
	struct watch *taken[process_slots], *slot;
	pid_t children[most_children];
	int n = child_processes(started->pid, children, most_children);
	int unwatched = n == most_children, k = 0;

	for (int i = 0; i < n; i++) {
		if (slot_of(c, children[i]) != -1)
			continue;
		if ((slot = free_slot(c)) == nullptr)
			unwatched += client_alive(children[i]);
		else if (watch_process(slot, children[i]) == 0) {
			if (client_alive(children[i]) &&
			    process_parent(children[i]) == started->pid)
				taken[k++] = slot;
			else
				unwatch_process(slot);
		}
	}
	if (k == 0)
		return unwatched;
	take_ends(c);
	for (int i = 0; i < k; i++)
		if (started->ended || taken[i]->ended)
			unwatch_process(taken[i]);
	return started->ended ? 0 : unwatched;
}

/* A slot that watches nothing, other than the started process's, or nullptr. */
static struct watch *
free_slot(struct client *c)
{
	for (int i = first_other_slot; i < process_slots; i++)
		if (c->procs[i].pid == 0)
			return &c->procs[i];
	return nullptr;
}

/* Learn, without waiting, which of the client's processes have ended. */
static void
take_ends(struct client *c)
{
	struct watch *watches[process_slots];

	for (int i = 0; i < process_slots; i++)
		watches[i] = &c->procs[i];
	await_events(watches, process_slots, nullptr, 0, 0, nullptr);
}

/* The slot in which the client's process pid is watched, or -1. */
static int
slot_of(const struct client *c, pid_t pid)
{
	for (int i = 0; i < process_slots; i++)
		if (c->procs[i].pid == pid)
			return i;
	return -1;
}

/*
 * Wait for an event, or until the stop's time is up (left_ms; -1 outside a
 * stop), or until a client is to be looked at again.  Then, while serving,
 * reap whatever child of the daemon's has ended: a client's process, which
 * it started.  What ends during the stop is left to the system's reaper,
 * which takes it at the daemon's end, with its status.
 */
static void
wait_for_clients(
    struct client clients[2], long left_ms, const sigset_t *waiting)
{
	struct watch *watches[2 * process_slots];
	int fds[2], n = 0, nfds = 0;
	long timeout_ms = left_ms;

	for (int i = 0; i < 2; i++) {
		struct client *c = &clients[i];
		long soon = look_again_ms(c, left_ms >= 0);
		/* The IPv6 client is started again only while IPv4's runs. */
		if (c->state == paused && clients[0].state != running)
			soon = -1;
		for (struct watch &w : c->procs)
			watches[n++] = &w;
		if (c->state == launching)
			fds[nfds++] = c->link[0];
		if (soon >= 0 && (timeout_ms < 0 || timeout_ms > soon))
			timeout_ms = soon;
	}
	await_events(watches, n, fds, nfds, (int)timeout_ms, waiting);
	while (left_ms < 0 && waitpid(-1, nullptr, WNOHANG) > 0)
		;
}

/*
 * How soon a client is to be looked at again, or -1 for when something
 * happens: every tick while it settles, or in its first second until it
 * has written its file; in a stop, every children_look_ms while it may
 * start new children; and when its pause is over.
 */
static long
look_again_ms(const struct client *c, int stopping)
{
	switch (c->state) {
	case settling:
		return tick_ms;
	case paused: {
		long left = c->pause_ms - elapsed_ms(c->since_ms);
		return left > 0 ? left : 0;
	}
	case running:
		if (!c->wrote && elapsed_ms(c->since_ms) < first_write_ms)
			return tick_ms;
		return stopping && children_unseen(c) ? children_look_ms : -1;
	default:
		return -1;
	}
}

/*
 * Whether the client may have dhclient children not yet watched: it has
 * recorded nothing, and the process started for it lives.
 */
static int
children_unseen(const struct client *c)
{
	return c->state == running && c->record == 0 &&
	    c->procs[started_slot].pid != 0;
}

/*
 * Move the client to state.  A pause is first_pause_ms after a client that
 * ran ran_long_ms (or the first time), or else twice the last one.
 */
static void
enter(struct client *c, enum client_state state)
{
	long now = clock_ms();

	if (state == paused)
		c->pause_ms =
		    c->pause_ms == 0 || now - c->started_ms >= ran_long_ms
		    ? first_pause_ms
		    : (c->pause_ms * 2 < most_pause_ms ? c->pause_ms * 2
						       : most_pause_ms);
	c->state = state;
	c->since_ms = now;
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
