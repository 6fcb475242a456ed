/*
 * The answers FreeBSD and DragonFly BSD share: sysctl for processes,
 * ioctls for addresses, and one kqueue for the wait, which tells of the
 * processes watched (EVFILT_PROC), the channels (EVFILT_READ), the files
 * and their directory (EVFILT_VNODE) and the stop signals (EVFILT_SIGNAL).
 * What differs between the two is in platform_freebsd.cc and
 * platform_dragonfly.cc.
 */

#if defined(__FreeBSD__) || defined(__DragonFly__)

#include <sys/types.h>
#include <sys/param.h>
#include <sys/event.h>
#include <sys/ioctl.h>
#include <sys/procctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysctl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet6/in6_var.h>

#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform.h"
#include "platform_wait.h"
#include "platform_bsd.h"

/* Options end at the first operand by themselves. */
int
next_option(int argc, char *const argv[], const char *options)
{
	return getopt(argc, argv, options);
}

int
any_sigaction(int sig, const struct sigaction *act, struct sigaction *old)
{
	return sigaction(sig, act, old);
}

int
become_reaper(void)
{
	return procctl(P_PID, getpid(), PROC_REAP_ACQUIRE, nullptr);
}

/*
 * The kernel's entry for process pid: 1 when it is that process and it
 * lives, 0 when there is no such process or it is a zombie, -1 when that
 * cannot be told.  On FreeBSD a missing process is ESRCH, but a zombie is
 * answered like any other, and a number above PID_MAX is taken for a
 * thread ID and answered with that thread's process, so the answer must be
 * for the PID asked; on DragonFly a missing process or a zombie is an empty
 * answer.
 */
static int
find_process(pid_t pid, struct process_entry *entry)
{
	int mib[4] = { CTL_KERN, KERN_PROC, KERN_PROC_PID, (int)pid };
	size_t len = kinfo_size();
	void *kinfo = malloc(len);
	int found;

	if (kinfo == nullptr)
		return -1;
	if (sysctl(mib, 4, kinfo, &len, nullptr, 0) == -1)
		found = errno == ESRCH ? 0 : -1;
	else if (len == 0)
		found = 0;
	else if (len != kinfo_size())
		found = -1;
	else {
		read_kinfo(kinfo, entry);
		found = entry->pid == pid && !entry->zombie;
	}
	free(kinfo);
	return found;
}

int
process_name(pid_t pid, char *name, size_t size)
{
	struct process_entry entry;
	int found = find_process(pid, &entry);

	if (found == 1)
		snprintf(name, size, "%s", entry.name);
	return found;
}

/* A zombie's parent is of no use: its number is to be handed out again. */
pid_t
process_parent(pid_t pid)
{
	struct process_entry entry;
	int found = find_process(pid, &entry);

	return found == 1 ? entry.parent : found;
}

/*
 * Arguments that do not fit are cut short (ENOMEM, with the buffer
 * filled); a missing process is ESRCH, or on DragonFly an empty answer.
 */
ssize_t
process_arguments(pid_t pid, char *args, size_t size)
{
	int mib[4] = { CTL_KERN, KERN_PROC, KERN_PROC_ARGS, (int)pid };
	size_t len = size;

	if (sysctl(mib, 4, args, &len, nullptr, 0) == -1) {
		if (errno == ENOMEM)
			return (ssize_t)size;
		return errno == ESRCH ? 0 : -1;
	}
	return (ssize_t)len;
}

/* The whole table, with room for processes made between the two calls. */
int
child_processes(pid_t parent, pid_t children[], int max)
{
	struct process_entry entry;
	char *all;
	size_t len;
	int n = 0;

	if (sysctl(all_processes, 3, nullptr, &len, nullptr, 0) == -1)
		return -1;
	len += len / 4;
	if ((all = static_cast<char *>(malloc(len))) == nullptr)
		return -1;
	if (sysctl(all_processes, 3, all, &len, nullptr, 0) == -1) {
		free(all);
		return -1;
	}
	for (size_t i = 0; i < len / kinfo_size() && n < max; i++) {
		read_kinfo(all + i * kinfo_size(), &entry);
		if (entry.parent == parent && !entry.zombie)
			children[n++] = entry.pid;
	}
	free(all);
	return n;
}

/*
 * The address flags, as ifconfig(8) reads them: getifaddrs for the
 * interface's link-local address, then SIOCGIFAFLAG_IN6 for its flags.
 */
int
link_local_ready(const char *ifname)
{
	struct ifaddrs *all, *ifa;
	struct in6_ifreq req;
	int sock, ready = 0;

	if (if_nametoindex(ifname) == 0 ||
	    (sock = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0)) == -1)
		return -1;
	if (getifaddrs(&all) == -1) {
		close(sock);
		return -1;
	}
	for (ifa = all; ifa != nullptr; ifa = ifa->ifa_next) {
		if (ifa->ifa_addr == nullptr ||
		    ifa->ifa_addr->sa_family != AF_INET6 ||
		    strcmp(ifa->ifa_name, ifname) != 0)
			continue;
		memset(&req, 0, sizeof(req));
		snprintf(req.ifr_name, sizeof(req.ifr_name), "%s", ifname);
		memcpy(&req.ifr_ifru.ifru_addr, ifa->ifa_addr,
		    sizeof(req.ifr_ifru.ifru_addr));
		if (IN6_IS_ADDR_LINKLOCAL(&req.ifr_ifru.ifru_addr.sin6_addr) &&
		    ioctl(sock, SIOCGIFAFLAG_IN6, &req) == 0 &&
		    (req.ifr_ifru.ifru_flags6 &
			(IN6_IFF_TENTATIVE | IN6_IFF_DUPLICATED |
			    IN6_IFF_DETACHED)) == 0)
			ready = 1;
	}
	freeifaddrs(all);
	if (ready == 0 && ipv6_off(sock, ifname))
		ready = -1;
	close(sock);
	return ready;
}

/*
 * What is watched, each by its kevent's identifier: a process by its
 * number, which is its own until NOTE_EXIT has come and it has been
 * reaped; a channel by its descriptor; a file by a descriptor open on it
 * (when it is there) and on its directory, which tells when an entry is
 * made or removed.  What a look without waiting learns is kept in these
 * until the wait tells it.
 */
namespace {

struct process_source {
	int tag;
	pid_t pid; /* 0: unused */
	bool ended, told;
};
struct channel_source {
	int tag, fd; /* fd -1: unused */
	bool ready;
};
struct file_source {
	int tag, dir, fd; /* dir -1: unused; fd -1: no file open */
	bool changed;
	char path[PATH_MAX];
};

} // namespace

static struct process_source processes[most_watched];
static struct channel_source channels[most_watched];
static struct file_source files[2];

/*
 * The kqueue, made by the process that waits: a kqueue is not inherited
 * by fork, so one made by the parent is not the child's.
 */
static int kq = -1;
static pid_t kq_owner;

/*
 * The stop signals are held back for good: EVFILT_SIGNAL tells of one all
 * the same, and it is taken from the pending set without its handler.
 */
static sigset_t stop_set;
static bool stops_caught;
static int stops_came, stops_told;

static int ready_queue(void);

static void
note_stop(int)
{ }

int
catch_stop_signals(const int signals[], int n)
{
	struct sigaction stop;

	memset(&stop, 0, sizeof(stop));
	sigemptyset(&stop_set);
	for (int i = 0; i < n; i++)
		sigaddset(&stop_set, signals[i]);
	if (sigprocmask(SIG_BLOCK, &stop_set, nullptr) == -1)
		return -1;
	stop.sa_handler = note_stop;
	stop.sa_mask = stop_set;
	for (int i = 0; i < n; i++)
		if (sigaction(signals[i], &stop, nullptr) == -1)
			return -1;
	stops_caught = true;
	return ready_queue();
}

/* Take any stop signal that is pending. */
static void
take_stop_signals(void)
{
	struct timespec now = { 0, 0 };

	while (stops_caught && sigtimedwait(&stop_set, nullptr, &now) > 0)
		stops_came++;
}

int
stop_signal_came(void)
{
	take_stop_signals();
	return stops_came != 0;
}

/* (Re)attach a file's own descriptor, if it is there as a regular file. */
static void
attach_file(struct file_source *f)
{
	struct kevent change;
	struct stat st;

	if (f->fd != -1)
		close(f->fd);
	f->fd = open(
	    f->path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
	if (f->fd == -1)
		return;
	EV_SET(&change, f->fd, EVFILT_VNODE, EV_ADD | EV_CLEAR,
	    NOTE_WRITE | NOTE_EXTEND | NOTE_ATTRIB | NOTE_DELETE | NOTE_RENAME,
	    0, nullptr);
	if (fstat(f->fd, &st) == -1 || !S_ISREG(st.st_mode) ||
	    kevent(kq, &change, 1, nullptr, 0, nullptr) == -1) {
		close(f->fd);
		f->fd = -1;
	}
}

/*
 * The kqueue for this process, made afresh in a process that did not make
 * the one it has (and then nothing it watches is this process's yet).
 */
static int
ready_queue(void)
{
	struct kevent change;

	if (kq != -1 && kq_owner == getpid())
		return 0;
	for (struct process_source &p : processes)
		p.pid = 0;
	for (struct channel_source &c : channels)
		c.fd = -1;
	for (struct file_source &f : files)
		f.dir = f.fd = -1;
	if ((kq = kqueue()) == -1)
		return -1;
	kq_owner = getpid();
	for (int sig = 1; sig < NSIG; sig++) {
		if (!stops_caught || sigismember(&stop_set, sig) != 1)
			continue;
		EV_SET(&change, sig, EVFILT_SIGNAL, EV_ADD, 0, 0, nullptr);
		if (kevent(kq, &change, 1, nullptr, 0, nullptr) == -1)
			return -1;
	}
	return 0;
}

/* Keep what the kqueue tells, waiting timeout_ms (-1: no limit). */
static void
take_kevents(int timeout_ms)
{
	struct kevent got[16];
	struct timespec limit = { timeout_ms / 1000,
		timeout_ms % 1000 * 1000000L };
	int n =
	    kevent(kq, nullptr, 0, got, 16, timeout_ms < 0 ? nullptr : &limit);

	for (int i = 0; i < n; i++) {
		const struct kevent *e = &got[i];
		if (e->filter == EVFILT_SIGNAL)
			take_stop_signals();
		for (struct channel_source &c : channels)
			if (e->filter == EVFILT_READ && c.fd != -1 &&
			    (uintptr_t)c.fd == e->ident)
				c.ready = true;
		for (struct process_source &p : processes)
			if (e->filter == EVFILT_PROC && p.pid != 0 &&
			    (uintptr_t)p.pid == e->ident &&
			    (e->fflags & NOTE_EXIT) != 0)
				p.ended = true;
		for (struct file_source &f : files) {
			if (e->filter != EVFILT_VNODE || f.dir == -1)
				continue;
			if ((uintptr_t)f.dir == e->ident) {
				f.changed = true;
				attach_file(&f);
			} else if ((uintptr_t)f.fd == e->ident) {
				f.changed = true;
				if ((e->fflags & (NOTE_DELETE | NOTE_RENAME)) !=
				    0)
					attach_file(&f);
			}
		}
	}
}

int
watch_process(pid_t pid, int tag)
{
	struct kevent change;

	unwatch_process(tag);
	if (pid <= 0) {
		errno = ESRCH;
		return -1;
	}
	if (ready_queue() == -1)
		return -1;
	for (struct process_source &p : processes)
		if (p.pid == 0) {
			EV_SET(&change, pid, EVFILT_PROC, EV_ADD, NOTE_EXIT, 0,
			    nullptr);
			if (kevent(kq, &change, 1, nullptr, 0, nullptr) == -1)
				return -1;
			p = { tag, pid, false, false };
			return 0;
		}
	errno = ENOSPC;
	return -1;
}

static struct process_source *
source_of(int tag)
{
	if (ready_queue() == -1)
		return nullptr;
	for (int i = 0; i < most_watched; i++)
		if (processes[i].pid != 0 && processes[i].tag == tag)
			return &processes[i];
	return nullptr;
}

/* Its event goes with it, so no later NOTE_EXIT is taken for this tag. */
void
unwatch_process(int tag)
{
	struct process_source *p = source_of(tag);
	struct kevent change;

	if (p == nullptr)
		return;
	if (!p->ended) {
		EV_SET(&change, p->pid, EVFILT_PROC, EV_DELETE, 0, 0, nullptr);
		kevent(kq, &change, 1, nullptr, 0, nullptr);
	}
	p->pid = 0;
}

/*
 * Until NOTE_EXIT has come, the number is the process's: it is not handed
 * out again before the process has ended and been reaped.
 */
int
signal_process(int tag, int sig)
{
	struct process_source *p = source_of(tag);

	if (p == nullptr)
		return -1;
	take_kevents(0);
	if (p->ended)
		return -1;
	return kill(p->pid, sig);
}

int
process_has_ended(int tag)
{
	struct process_source *p = source_of(tag);

	if (p == nullptr)
		return 1;
	take_kevents(0);
	return p->ended;
}

int
watch_channel(int fd, int tag)
{
	struct kevent change;

	unwatch_channel(tag);
	if (ready_queue() == -1)
		return -1;
	for (struct channel_source &c : channels)
		if (c.fd == -1) {
			EV_SET(&change, fd, EVFILT_READ, EV_ADD, 0, 0, nullptr);
			if (kevent(kq, &change, 1, nullptr, 0, nullptr) == -1)
				return -1;
			c = { tag, fd, false };
			return 0;
		}
	errno = ENOSPC;
	return -1;
}

void
unwatch_channel(int tag)
{
	struct kevent change;

	if (ready_queue() == -1)
		return;
	for (struct channel_source &c : channels)
		if (c.fd != -1 && c.tag == tag) {
			EV_SET(&change, c.fd, EVFILT_READ, EV_DELETE, 0, 0,
			    nullptr);
			kevent(kq, &change, 1, nullptr, 0, nullptr);
			c.fd = -1;
		}
}

int
watch_file(const char *path, int tag)
{
	char dir[PATH_MAX];
	struct kevent change;

	if (directory_of(path, dir) == nullptr || ready_queue() == -1)
		return -1;
	for (struct file_source &f : files) {
		if (f.dir != -1 && f.tag != tag)
			continue;
		if (f.dir != -1) {
			close(f.dir);
			if (f.fd != -1)
				close(f.fd);
		}
		f = { tag, -1, -1, false, {} };
		snprintf(f.path, sizeof(f.path), "%s", path);
		if ((f.dir = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) ==
		    -1)
			return -1;
		EV_SET(&change, f.dir, EVFILT_VNODE, EV_ADD | EV_CLEAR,
		    NOTE_WRITE | NOTE_DELETE | NOTE_RENAME | NOTE_EXTEND, 0,
		    nullptr);
		if (kevent(kq, &change, 1, nullptr, 0, nullptr) == -1) {
			close(f.dir);
			f.dir = -1;
			return -1;
		}
		attach_file(&f);
		return 0;
	}
	errno = ENOSPC;
	return -1;
}

/*
 * In kevent itself: what is known already is told without waiting.
 * Channels are level-triggered, so one not read is told again.
 */
int
await_events(struct event events[], int max, int timeout_ms)
{
	bool known;
	int n = 0;

	if (ready_queue() == -1)
		return 0;
	take_stop_signals();
	take_kevents(0);
	known = stops_came != stops_told;
	for (const struct process_source &p : processes)
		known |= p.pid != 0 && p.ended && !p.told;
	for (const struct channel_source &c : channels)
		known |= c.fd != -1 && c.ready;
	for (const struct file_source &f : files)
		known |= f.dir != -1 && f.changed;
	if (!known)
		take_kevents(timeout_ms);

	if (stops_came != stops_told && tell(events, max, &n, stop_signal, 0))
		stops_told = stops_came;
	for (struct process_source &p : processes)
		if (p.pid != 0 && p.ended && !p.told)
			p.told = tell(events, max, &n, process_ended, p.tag);
	for (struct channel_source &c : channels)
		if (c.fd != -1 && c.ready)
			c.ready = !tell(events, max, &n, channel_ready, c.tag);
	for (struct file_source &f : files)
		if (f.dir != -1 && f.changed)
			f.changed = !tell(events, max, &n, file_changed, f.tag);
	if (n == 0)
		tell(events, max, &n, time_up, 0);
	return n;
}

void
forget_watches(void)
{
	for (struct file_source &f : files)
		if (f.dir != -1) {
			close(f.dir);
			if (f.fd != -1)
				close(f.fd);
		}
	if (kq != -1 && kq_owner == getpid())
		close(kq);
	kq = -1;
	for (struct file_source &f : files)
		f.dir = f.fd = -1;
}

#endif
