/*
 * Linux's answers: procfs for processes and addresses, process descriptors
 * for the processes watched, inotify for the files, and ppoll for the wait.
 * Linux is where the program is built and tested; it runs on the BSDs.
 */

#if defined(__linux__)

#include <sys/types.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <net/if.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform.h"
#include "platform_wait.h"

int
next_option(int argc, char *const argv[], const char *options)
{
	char in_order[32];

	snprintf(in_order, sizeof(in_order), "+%s", options);
	return getopt(argc, argv, in_order);
}

/* The real-time signals are counted from the C library's. */
int
last_signal(void)
{
	return SIGRTMAX;
}

/*
 * The kernel's own form of an action, as rt_sigaction(2) takes it on this
 * system's architectures: enough to set or tell SIG_DFL and SIG_IGN.
 */
struct kernel_sigaction {
	void (*handler)(int);
	// cppcheck-suppress unusedStructMember
	unsigned long flags;
	// cppcheck-suppress unusedStructMember
	void (*restorer)(void);
	unsigned long mask;
};

int
any_sigaction(int sig, const struct sigaction *act, struct sigaction *old)
{
	struct kernel_sigaction set, was;
	int done = sigaction(sig, act, old);

	if (done == 0 || errno != EINVAL ||
	    (act != nullptr && act->sa_handler != SIG_DFL &&
		act->sa_handler != SIG_IGN))
		return done;
	memset(&set, 0, sizeof(set));
	memset(&was, 0, sizeof(was));
	if (act != nullptr)
		set.handler = act->sa_handler;
	if (syscall(SYS_rt_sigaction, sig, act != nullptr ? &set : nullptr,
		&was, sizeof(set.mask)) == -1)
		return -1;
	if (old != nullptr) {
		memset(old, 0, sizeof(*old));
		old->sa_handler = was.handler;
	}
	return 0;
}

int
become_reaper(void)
{
	return prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
}

/*
 * /proc/PID/stat: "PID (NAME) STATE PPID ...", where the name, cut to 15
 * characters, may itself hold spaces and parentheses.  Returns 1 with the
 * name and the parent, 0 for a zombie, -1 when it cannot be read.
 */
static int
read_stat(pid_t pid, char *name, size_t size, pid_t *parent)
{
	char path[32], stat[128];
	char *lparen, *rparen;
	ssize_t n;
	int fd;

	snprintf(path, sizeof(path), "/proc/%d/stat", (int)pid);
	if ((fd = open(path, O_RDONLY | O_CLOEXEC)) == -1)
		return -1;
	n = read(fd, stat, sizeof(stat) - 1);
	close(fd);
	if (n <= 0)
		return -1;
	stat[n] = '\0';
	if ((lparen = strchr(stat, '(')) == nullptr ||
	    (rparen = strrchr(stat, ')')) == nullptr || rparen[1] != ' ')
		return -1;
	if (rparen[2] == 'Z' || rparen[2] == 'X')
		return 0;
	snprintf(name, size, "%.*s", (int)(rparen - lparen - 1), lparen + 1);
	*parent = (pid_t)strtol(rparen + 3, nullptr, 10);
	return 1;
}

/*
 * Without procfs, a process's existence can still be told, but not its
 * name.
 */
int
process_name(pid_t pid, char *name, size_t size)
{
	pid_t parent;
	int found = read_stat(pid, name, size, &parent);

	if (found == -1 && kill(pid, 0) == -1 && errno == ESRCH)
		return 0;
	return found;
}

pid_t
process_parent(pid_t pid)
{
	char name[64];
	pid_t parent;

	switch (read_stat(pid, name, sizeof(name), &parent)) {
	case 1:
		return parent;
	case 0:
		return 0;
	default:
		return kill(pid, 0) == -1 && errno == ESRCH ? 0 : -1;
	}
}

ssize_t
process_arguments(pid_t pid, char *args, size_t size)
{
	char path[32];
	ssize_t n;
	int fd;

	snprintf(path, sizeof(path), "/proc/%d/cmdline", (int)pid);
	if ((fd = open(path, O_RDONLY | O_CLOEXEC)) == -1)
		return kill(pid, 0) == -1 && errno == ESRCH ? 0 : -1;
	n = read(fd, args, size);
	close(fd);
	return n;
}

int
child_processes(pid_t parent, pid_t children[], int max)
{
	char name[64];
	struct dirent *entry;
	pid_t pid, ppid;
	DIR *proc;
	int n = 0;

	if ((proc = opendir("/proc")) == nullptr)
		return -1;
	while (n < max && (entry = readdir(proc)) != nullptr)
		if ((pid = (pid_t)strtol(entry->d_name, nullptr, 10)) > 0 &&
		    read_stat(pid, name, sizeof(name), &ppid) == 1 &&
		    ppid == parent)
			children[n++] = pid;
	closedir(proc);
	return n;
}

/*
 * /proc/net/if_inet6 lists the IPv6 addresses of this network namespace as
 * "ADDRESS INDEX PREFIXLEN SCOPE FLAGS NAME", in hexadecimal: scope 20 is
 * link-local, flag 40 tentative and flag 08 duplicated (DAD failed).
 */
int
link_local_ready(const char *ifname)
{
	char path[64 + IF_NAMESIZE], line[256];
	char scope[9], flags[9], name[IF_NAMESIZE + 1];
	FILE *fp;
	int ready = 0;

	if (if_nametoindex(ifname) == 0)
		return -1;
	snprintf(path, sizeof(path), "/proc/sys/net/ipv6/conf/%s/disable_ipv6",
	    ifname);
	if ((fp = fopen(path, "r")) == nullptr)
		return -1;
	if (getc(fp) == '1')
		ready = -1;
	fclose(fp);
	if (ready == -1 || (fp = fopen("/proc/net/if_inet6", "r")) == nullptr)
		return -1;
	while (fgets(line, sizeof(line), fp) != nullptr)
		if (sscanf(line, "%*s %*s %*s %8s %8s %16s", scope, flags,
			name) == 3 &&
		    strcmp(name, ifname) == 0 &&
		    strtoul(scope, nullptr, 16) == 0x20 &&
		    (strtoul(flags, nullptr, 16) & 0x48) == 0)
			ready = 1;
	fclose(fp);
	return ready;
}

/*
 * What is watched.  A process by its descriptor (Linux 5.3), readable once
 * it has ended; a channel as it is; the files through one inotify
 * descriptor on their directories, whose records name the entry changed.
 */
namespace {

struct process_source {
	int tag, fd; /* fd -1: unused */
	bool ended; /* told ended: not polled again */
};
struct channel_source {
	int tag, fd; /* fd -1: unused */
};
struct file_source {
	int tag, dir; /* dir: the inotify watch; -1: unused */
	bool changed; /* to be told */
	char name[NAME_MAX + 1];
};

} // namespace

static struct process_source processes[most_watched];
static struct channel_source channels[most_watched];
static struct file_source files[2];
static int notify_fd = -1;
static bool sources_ready;

/*
 * The stop signals: caught by the handler in the wait alone, and counted,
 * so that each is told.
 */
static volatile sig_atomic_t stops_came;
static sig_atomic_t stops_told;
static sigset_t stop_set, wait_mask;
static bool stops_caught;

static void
ready_sources(void)
{
	if (sources_ready)
		return;
	for (struct process_source &p : processes)
		p.fd = -1;
	for (struct channel_source &c : channels)
		c.fd = -1;
	for (struct file_source &f : files)
		f.dir = -1;
	sources_ready = true;
}

static void
note_stop(int)
{
	stops_came = stops_came + 1;
}

int
catch_stop_signals(const int signals[], int n)
{
	struct sigaction stop;

	memset(&stop, 0, sizeof(stop));
	sigemptyset(&stop_set);
	for (int i = 0; i < n; i++)
		sigaddset(&stop_set, signals[i]);
	if (sigprocmask(SIG_BLOCK, &stop_set, &wait_mask) == -1)
		return -1;
	for (int i = 0; i < n; i++)
		sigdelset(&wait_mask, signals[i]);
	stop.sa_handler = note_stop;
	stop.sa_mask = stop_set;
	for (int i = 0; i < n; i++)
		if (sigaction(signals[i], &stop, nullptr) == -1)
			return -1;
	stops_caught = true;
	return 0;
}

int
stop_signal_came(void)
{
	sigset_t pending;

	if (stops_came != 0)
		return 1;
	if (!stops_caught || sigpending(&pending) == -1)
		return 0;
	for (int sig = 1; sig <= last_signal(); sig++)
		if (sigismember(&stop_set, sig) == 1 &&
		    sigismember(&pending, sig) == 1)
			return 1;
	return 0;
}

/* glibc 2.36 declares the pidfd wrappers without C linkage: not for C++. */
int
watch_process(pid_t pid, int tag)
{
	int fd;

	ready_sources();
	unwatch_process(tag);
	if (pid <= 0) {
		errno = ESRCH;
		return -1;
	}
	for (struct process_source &p : processes)
		if (p.fd == -1) {
			if ((fd = (int)syscall(SYS_pidfd_open, pid, 0)) == -1)
				return -1;
			p = { tag, fd, false };
			return 0;
		}
	errno = ENOSPC;
	return -1;
}

static struct process_source *
source_of(int tag)
{
	ready_sources();
	for (int i = 0; i < most_watched; i++)
		if (processes[i].fd != -1 && processes[i].tag == tag)
			return &processes[i];
	return nullptr;
}

void
unwatch_process(int tag)
{
	struct process_source *p = source_of(tag);

	if (p != nullptr) {
		close(p->fd);
		p->fd = -1;
	}
}

int
signal_process(int tag, int sig)
{
	struct process_source *p = source_of(tag);

	if (p == nullptr || p->ended)
		return -1;
	return (int)syscall(SYS_pidfd_send_signal, p->fd, sig, nullptr, 0);
}

int
process_has_ended(int tag)
{
	struct process_source *p = source_of(tag);
	struct pollfd ended;

	if (p == nullptr || p->ended)
		return 1;
	ended = { p->fd, POLLIN, 0 };
	return poll(&ended, 1, 0) == 1;
}

int
watch_channel(int fd, int tag)
{
	ready_sources();
	unwatch_channel(tag);
	for (int i = 0; i < most_watched; i++)
		if (channels[i].fd == -1) {
			channels[i] = { tag, fd };
			return 0;
		}
	errno = ENOSPC;
	return -1;
}

void
unwatch_channel(int tag)
{
	ready_sources();
	for (struct channel_source &c : channels)
		if (c.fd != -1 && c.tag == tag)
			c.fd = -1;
}

int
watch_file(const char *path, int tag)
{
	const uint32_t told = IN_CREATE | IN_DELETE | IN_MOVED_FROM |
	    IN_MOVED_TO | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE |
	    IN_DELETE_SELF | IN_MOVE_SELF;
	char dir[PATH_MAX];
	const char *name = directory_of(path, dir);
	int wd;

	ready_sources();
	if (name == nullptr)
		return -1;
	if (notify_fd == -1 &&
	    (notify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) == -1)
		return -1;
	if ((wd = inotify_add_watch(notify_fd, dir, told)) == -1)
		return -1;
	for (size_t i = 0; i < sizeof(files) / sizeof(files[0]); i++) {
		struct file_source *f = &files[i];
		if (f->dir != -1 && f->tag != tag)
			continue;
		f->tag = tag;
		f->dir = wd;
		f->changed = false;
		snprintf(f->name, sizeof(f->name), "%s", name);
		return 0;
	}
	errno = ENOSPC;
	return -1;
}

/*
 * Mark the files that inotify's records name.  A record that names no
 * entry (the directory itself, or the queue overflowed) marks them all.
 */
static void
read_notes(void)
{
	alignas(struct inotify_event) char buf[4096];
	ssize_t n;

	while ((n = read(notify_fd, buf, sizeof(buf))) > 0)
		for (char *at = buf; at < buf + n;) {
			const struct inotify_event *note =
			    reinterpret_cast<const struct inotify_event *>(at);
			for (struct file_source &f : files)
				if (f.dir != -1 &&
				    (note->wd == -1 || note->len == 0 ||
					(note->wd == f.dir &&
					    strcmp(note->name, f.name) == 0)))
					f.changed = true;
			at += sizeof(*note) + note->len;
		}
}

int
await_events(struct event events[], int max, int timeout_ms)
{
	struct pollfd set[2 * most_watched + 1];
	struct timespec limit = { timeout_ms / 1000,
		timeout_ms % 1000 * 1000000L };
	int n = 0, k = 0;

	ready_sources();
	for (const struct process_source &p : processes)
		if (p.fd != -1 && !p.ended)
			set[k++] = { p.fd, POLLIN, 0 };
	for (const struct channel_source &c : channels)
		if (c.fd != -1)
			set[k++] = { c.fd, POLLIN, 0 };
	if (notify_fd != -1)
		set[k++] = { notify_fd, POLLIN, 0 };
	for (size_t i = 0; i < sizeof(files) / sizeof(files[0]); i++)
		if (files[i].dir != -1 && files[i].changed)
			timeout_ms = 0;
	if (stops_came != stops_told)
		timeout_ms = 0;

	/*
	 * The stop signals are let in for the wait alone.  One that cuts it
	 * short tells nothing of the rest: that is asked again, without
	 * waiting, with the signals held back again.
	 */
	if (ppoll(set, (nfds_t)k, timeout_ms < 0 ? nullptr : &limit,
		stops_caught ? &wait_mask : nullptr) == -1 &&
	    (errno != EINTR || poll(set, (nfds_t)k, 0) == -1))
		for (int i = 0; i < k; i++)
			set[i].revents = 0;

	if (stops_came != stops_told && tell(events, max, &n, stop_signal, 0))
		stops_told = stops_came;
	k = 0;
	for (struct process_source &p : processes)
		if (p.fd != -1 && !p.ended && set[k++].revents != 0)
			p.ended = tell(events, max, &n, process_ended, p.tag);
	for (const struct channel_source &c : channels)
		if (c.fd != -1 && set[k++].revents != 0)
			tell(events, max, &n, channel_ready, c.tag);
	if (notify_fd != -1 && set[k].revents != 0)
		read_notes();
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
	ready_sources();
	for (struct process_source &p : processes)
		if (p.fd != -1)
			close(p.fd);
	if (notify_fd != -1)
		close(notify_fd);
	notify_fd = -1;
	sources_ready = false;
	ready_sources();
}

#endif
