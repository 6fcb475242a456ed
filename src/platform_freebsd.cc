/* FreeBSD's side of platform_bsd.cc. */

#if defined(__FreeBSD__)

#include <sys/param.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <sys/user.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet6/in6_var.h>
/* In C++, the struct that nd6.h names is nested in another one. */
#define prf_ra in6_prflags::prf_ra
#include <netinet6/nd6.h>
#undef prf_ra

#include <signal.h>
#include <stdio.h>
#include <string.h>

#include "platform.h"
#include "platform_bsd.h"

/* Every number up to _SIG_MAXSIG, real-time signals and unnamed ones alike. */
int
last_signal(void)
{
	return _SIG_MAXSIG;
}

const int all_processes[3] = { CTL_KERN, KERN_PROC, KERN_PROC_PROC };

size_t
kinfo_size(void)
{
	return sizeof(struct kinfo_proc);
}

void
read_kinfo(const void *kinfo, struct process_entry *entry)
{
	const struct kinfo_proc *kp =
	    static_cast<const struct kinfo_proc *>(kinfo);

	entry->pid = kp->ki_pid;
	entry->parent = kp->ki_ppid;
	entry->zombie = kp->ki_stat == SZOMB;
	snprintf(entry->name, sizeof(entry->name), "%s", kp->ki_comm);
}

/*
 * FreeBSD gives no link-local address at all to an interface on which IPv6
 * is not enabled, and says so in its ND flags.
 */
int
ipv6_off(int sock, const char *ifname)
{
	struct in6_ndireq nd;

	memset(&nd, 0, sizeof(nd));
	snprintf(nd.ifname, sizeof(nd.ifname), "%s", ifname);
	return ioctl(sock, SIOCGIFINFO_IN6, &nd) == 0 &&
	    (nd.ndi.flags & ND6_IFF_IFDISABLED) != 0;
}

#endif
