#ifndef BISTACK_PLATFORM_H
#define BISTACK_PLATFORM_H

#include <stddef.h>
#include <sys/types.h>

/*
 * The questions the supervisor must ask in each system's own way.  Nothing
 * outside platform.cc knows which system it runs on.
 */

/*
 * Whether process pid is there, and its command name as the kernel keeps it
 * (the executed file's name).  Returns 1 with the name in name; 0 when no
 * such process exists or it has ended and awaits its parent (a zombie); -1
 * when that cannot be told, for want of a way to ask.
 */
int process_name(pid_t pid, char *name, size_t size);

/*
 * The processes that parent has forked and that have not ended, up to max
 * of them, in children.  Returns how many it listed, or -1 when that cannot
 * be told.
 */
int child_processes(pid_t parent, pid_t children[], int max);

/*
 * Whether a DHCPv6 client can bind to the IPv6 link-local address of
 * interface ifname: 1 when it has one that is usable (neither tentative
 * nor duplicated); 0 when it has none yet, or none usable; -1 when there is
 * nothing to wait for: no such interface, IPv6 off on it, or no way to ask.
 */
int link_local_ready(const char *ifname);

#endif
