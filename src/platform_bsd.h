#ifndef BISTACK_PLATFORM_BSD_H
#define BISTACK_PLATFORM_BSD_H

/*
 * What FreeBSD and DragonFly BSD answer each in their own way, for the
 * code both share in platform_bsd.cc: platform_freebsd.cc and
 * platform_dragonfly.cc each define these for their system.
 */

#include <sys/types.h>

/* A process as the kernel's process table has it. */
struct process_entry {
	pid_t pid, parent;
	bool zombie;
	char name[20]; /* its command name, cut as the kernel keeps it */
};

/* The size of one entry of the kernel's process table, as sysctl gives it. */
size_t kinfo_size(void);
/* The entry at kinfo, in the table's own form, read into entry. */
void read_kinfo(const void *kinfo, struct process_entry *entry);
/*
 * The sysctl name of the whole process table, one entry a process (not one
 * a thread).
 */
extern const int all_processes[3];
/*
 * Whether IPv6 is off on interface ifname, asked on socket sock: 1, or 0
 * when it is on or that cannot be told.
 */
int ipv6_off(int sock, const char *ifname);

#endif
