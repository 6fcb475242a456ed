/*
 * The system-specific half of the supervisor: one branch per system, and
 * no other file that knows which system it is built for.
 */

#include <sys/types.h>
#if defined(__FreeBSD__) || defined(__DragonFly__)
#include <sys/param.h>
#include <sys/event.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet6/in6_var.h>
#include <sys/procctl.h>
#include <ifaddrs.h>
#endif
#if defined(__FreeBSD__)
#include <sys/user.h>
/* In C++, the struct that nd6.h names is nested in another one. */
#define prf_ra in6_prflags::prf_ra
#include <netinet6/nd6.h>
#undef prf_ra
#elif defined(__DragonFly__)
#include <sys/kinfo.h>
#elif defined(__linux__)
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <net/if.h>
#include <dirent.h>
#else
#error "bistack-lease knows Linux, FreeBSD and DragonFly BSD"
#endif

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform.h"

int
next_option(int argc, char *const argv[], const char *options)
{
#if defined(__linux__)
	char in_order[32];

	snprintf(in_order, sizeof(in_order), "+%s", options);
	return getopt(argc, argv, in_order);
#else
	return getopt(argc, argv, options);
#endif
}

/*
 * Linux counts its real-time signals from the C library's; FreeBSD takes
 * every number up to _SIG_MAXSIG, real-time signals and unnamed ones alike,
 * and DragonFly every number below it.
 */
int
last_signal(void)
{
#if defined(__linux__)
	return SIGRTMAX;
#elif defined(__FreeBSD__)
	return _SIG_MAXSIG;
#else
	return _SIG_MAXSIG - 1;
#endif
}

#if defined(__linux__)

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

#else

#if defined(__FreeBSD__)
#define KP_PID(kp) (kp).ki_pid
#define KP_PPID(kp) (kp).ki_ppid
#define KP_STAT(kp) (kp).ki_stat
#define KP_COMM(kp) (kp).ki_comm
#else
#define KP_PID(kp) (kp).kp_pid
#define KP_PPID(kp) (kp).kp_ppid
#define KP_STAT(kp) (kp).kp_stat
#define KP_COMM(kp) (kp).kp_comm
#endif

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
process_entry(pid_t pid, struct kinfo_proc *kp)
{
	int mib[4] = { CTL_KERN, KERN_PROC, KERN_PROC_PID, (int)pid };
	size_t len = sizeof(*kp);

	if (sysctl(mib, 4, kp, &len, nullptr, 0) == -1)
		return errno == ESRCH ? 0 : -1;
	if (len == 0)
		return 0;
	if (len != sizeof(*kp))
		return -1;
	return KP_PID(*kp) == pid && KP_STAT(*kp) != SZOMB;
}

int
process_name(pid_t pid, char *name, size_t size)
{
	struct kinfo_proc kp;
	int found = process_entry(pid, &kp);

	if (found == 1)
		snprintf(name, size, "%s", KP_COMM(kp));
	return found;
}

/* A zombie's parent is of no use: its number is to be handed out again. */
pid_t
process_parent(pid_t pid)
{
	struct kinfo_proc kp;
	int found = process_entry(pid, &kp);

	return found == 1 ? KP_PPID(kp) : found;
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

/*
 * The whole process table, one entry a process (FreeBSD: KERN_PROC_PROC,
 * not one a thread; DragonFly: without KERN_PROC_FLAG_LWP), with room for
 * processes made between the two calls.
 */
int
child_processes(pid_t parent, pid_t children[], int max)
{
#if defined(__FreeBSD__)
	int mib[3] = { CTL_KERN, KERN_PROC, KERN_PROC_PROC };
#else
	int mib[3] = { CTL_KERN, KERN_PROC, KERN_PROC_ALL };
#endif
	struct kinfo_proc *all;
	size_t len;
	int n = 0;

	if (sysctl(mib, 3, nullptr, &len, nullptr, 0) == -1)
		return -1;
	len += len / 4;
	if ((all = static_cast<struct kinfo_proc *>(malloc(len))) == nullptr)
		return -1;
	if (sysctl(mib, 3, all, &len, nullptr, 0) == -1) {
		free(all);
		return -1;
	}
	for (size_t i = 0; i < len / sizeof(*all) && n < max; i++)
		if (KP_PPID(all[i]) == parent && KP_STAT(all[i]) != SZOMB)
			children[n++] = KP_PID(all[i]);
	free(all);
	return n;
}

#endif

#if defined(__FreeBSD__) || defined(__DragonFly__)

/*
 * The address flags, as ifconfig(8) reads them: getifaddrs for the
 * interface's link-local address, then SIOCGIFAFLAG_IN6 for its flags.
 * FreeBSD gives no link-local address at all to an interface on which
 * IPv6 is not enabled, and says so in its ND flags; DragonFly has no such
 * flag.
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
#if defined(ND6_IFF_IFDISABLED)
	struct in6_ndireq nd;
	memset(&nd, 0, sizeof(nd));
	snprintf(nd.ifname, sizeof(nd.ifname), "%s", ifname);
	if (ready == 0 && ioctl(sock, SIOCGIFINFO_IN6, &nd) == 0 &&
	    (nd.ndi.flags & ND6_IFF_IFDISABLED) != 0)
		ready = -1;
#endif
	close(sock);
	return ready;
}

#endif

/*
 * The wait: ppoll on every system, which sets the signal mask for the wait
 * alone.  Besides the caller's descriptors it polls, on Linux, each watched
 * process's descriptor, readable once the process has ended; on FreeBSD and
 * DragonFly, the kqueue that holds each watched process's EVFILT_PROC.
 */
static const int most_polled = 40;

static void
poll_for(struct pollfd set[], int n, const int fds[], int nfds, int timeout_ms,
    const sigset_t *mask)
{
	struct timespec limit = { timeout_ms / 1000,
		timeout_ms % 1000 * 1000000L };

	for (int i = 0; i < nfds && n < most_polled; i++, n++) {
		set[n].fd = fds[i];
		set[n].events = POLLIN;
		set[n].revents = 0;
	}
	/*
	 * A signal caught cuts the wait short with nothing told: what has
	 * happened meanwhile is asked again, without waiting, and with the
	 * signals as they are outside the wait.
	 */
	if (ppoll(set, (nfds_t)n, timeout_ms < 0 ? nullptr : &limit, mask) ==
		-1 &&
	    (errno != EINTR || poll(set, (nfds_t)n, 0) == -1))
		for (int i = 0; i < n; i++)
			set[i].revents = 0;
}

#if defined(__linux__)

/*
 * Process descriptors (Linux 5.3) by their system calls: glibc 2.36
 * declares its wrappers without C linkage, so C++ cannot link to them.
 */
int
watch_process(struct watch *w, pid_t pid)
{
	int fd;

	if (pid <= 0) {
		errno = ESRCH;
		return -1;
	}
	if ((fd = (int)syscall(SYS_pidfd_open, pid, 0)) == -1)
		return -1;
	w->pid = pid;
	w->fd = fd;
	w->ended = 0;
	return 0;
}

void
unwatch_process(struct watch *w)
{
	if (w->pid != 0)
		close(w->fd);
	w->pid = 0;
	w->fd = -1;
}

int
signal_process(struct watch *w, int sig)
{
	if (w->pid == 0 || w->ended)
		return -1;
	return (int)syscall(SYS_pidfd_send_signal, w->fd, sig, nullptr, 0);
}

void
await_events(struct watch *const watches[], int n, const int fds[], int nfds,
    int timeout_ms, const sigset_t *mask)
{
	struct pollfd set[most_polled];
	struct watch *polled[most_polled];
	int k = 0;

	for (int i = 0; i < n && k < most_polled; i++)
		if (watches[i]->pid != 0 && !watches[i]->ended) {
			polled[k] = watches[i];
			set[k].fd = watches[i]->fd;
			set[k].events = POLLIN;
			set[k++].revents = 0;
		}
	poll_for(set, k, fds, nfds, timeout_ms, mask);
	for (int i = 0; i < k; i++)
		if (set[i].revents != 0)
			polled[i]->ended = 1;
}

#else

/*
 * One kqueue for the process's life, made at the first watch: a kqueue is
 * not inherited by fork, so only the process that waits may make it.  Each
 * EVFILT_PROC carries its watch, to be marked when NOTE_EXIT comes.
 */
static int kq = -1;

/* Mark every watch whose process the kqueue has told to have ended. */
static void
note_exits(void)
{
	struct kevent events[8];
	struct timespec now = { 0, 0 };
	int got;

	while (kq != -1 && (got = kevent(kq, nullptr, 0, events, 8, &now)) > 0)
		for (int i = 0; i < got; i++)
			if (events[i].filter == EVFILT_PROC &&
			    (events[i].fflags & NOTE_EXIT) != 0)
				static_cast<struct watch *>(events[i].udata)
				    ->ended = 1;
}

int
watch_process(struct watch *w, pid_t pid)
{
	struct kevent change;

	if (pid <= 0) {
		errno = ESRCH;
		return -1;
	}
	if (kq == -1 && (kq = kqueue()) == -1)
		return -1;
	EV_SET(&change, pid, EVFILT_PROC, EV_ADD, NOTE_EXIT, 0, w);
	if (kevent(kq, &change, 1, nullptr, 0, nullptr) == -1)
		return -1;
	w->pid = pid;
	w->fd = -1;
	w->ended = 0;
	return 0;
}

/* Its event goes with it, so no later NOTE_EXIT names this watch. */
void
unwatch_process(struct watch *w)
{
	struct kevent change;

	if (w->pid != 0 && !w->ended) {
		EV_SET(&change, w->pid, EVFILT_PROC, EV_DELETE, 0, 0, nullptr);
		kevent(kq, &change, 1, nullptr, 0, nullptr);
	}
	w->pid = 0;
}

/*
 * Until NOTE_EXIT has come, the number is the process's: it is not handed
 * out again before the process has ended and been reaped.
 */
int
signal_process(struct watch *w, int sig)
{
	note_exits();
	if (w->pid == 0 || w->ended)
		return -1;
	return kill(w->pid, sig);
}

void
await_events(struct watch *const[], int, const int fds[], int nfds,
    int timeout_ms, const sigset_t *mask)
{
	struct pollfd set[most_polled];
	int n = 0;

	if (kq != -1) {
		set[0].fd = kq;
		set[0].events = POLLIN;
		set[0].revents = 0;
		n = 1;
	}
	poll_for(set, n, fds, nfds, timeout_ms, mask);
	note_exits();
}

#endif
