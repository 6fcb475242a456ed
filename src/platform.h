#ifndef BISTACK_PLATFORM_H
#define BISTACK_PLATFORM_H

#include <stddef.h>
#include <sys/types.h>

/*
 * The questions the supervisor must ask in each system's own way.  Nothing
 * outside platform.cc knows which system it runs on.
 *
 * The sources name <sys/errno.h>, <sys/fcntl.h> and <sys/poll.h>, the files
 * that the BSDs' <errno.h>, <fcntl.h> and <poll.h> are symbolic links to
 * (glibc has both names): a copy of a BSD's headers that has lost its links,
 * as the compile checks' copies have, then still compiles them.
 */

/*
 * Whether process pid is there, and its command name as the kernel keeps it
 * (the executed file's name).  Returns 1 with the name in name; 0 when no
 * such process exists or it has ended and awaits its parent (a zombie); -1
 * when that cannot be told, for want of a way to ask.
 */
int process_name(pid_t pid, char *name, size_t size);

/*
 * Whether a DHCPv6 client can bind to the IPv6 link-local address of
 * interface ifname: 1 when it has one that is usable (neither tentative
 * nor duplicated); 0 when it has none yet, or none usable; -1 when there is
 * nothing to wait for: no such interface, IPv6 off on it, or no way to ask.
 */
int link_local_ready(const char *ifname);

#endif
