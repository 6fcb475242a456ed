/* DragonFly BSD's side of platform_bsd.cc. */

#if defined(__DragonFly__)

#include <sys/param.h>
#include <sys/kinfo.h>
#include <sys/sysctl.h>

#include <signal.h>
#include <stdio.h>

#include "platform.h"
#include "platform_bsd.h"

/* Every number below _SIG_MAXSIG. */
int
last_signal(void)
{
	return _SIG_MAXSIG - 1;
}

/* Without KERN_PROC_FLAG_LWP: one entry a process. */
const int all_processes[3] = { CTL_KERN, KERN_PROC, KERN_PROC_ALL };

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

	entry->pid = kp->kp_pid;
	entry->parent = kp->kp_ppid;
	entry->zombie = kp->kp_stat == SZOMB;
	snprintf(entry->name, sizeof(entry->name), "%s", kp->kp_comm);
}

/* DragonFly has no flag that says IPv6 is off on an interface. */
int
ipv6_off(int, const char *)
{
	return 0;
}

#endif
