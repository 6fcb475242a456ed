#ifndef BISTACK_PLATFORM_WAIT_H
#define BISTACK_PLATFORM_WAIT_H

/*
 * What each system's wait does alike, in portable terms: for
 * platform_linux.cc and platform_bsd.cc alone.
 */

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "platform.h"

/* Store an event if there is room.  Returns whether there was. */
static inline bool
tell(struct event events[], int max, int *n, enum event_kind kind, int tag)
{
	if (*n >= max)
		return false;
	events[*n].kind = kind;
	events[(*n)++].tag = tag;
	return true;
}

/*
 * The directory of the file at path, into dir (PATH_MAX bytes).  Returns
 * the file's name within it, or nullptr when path names no file in a
 * directory, or one too long.
 */
static inline const char *
directory_of(const char *path, char dir[PATH_MAX])
{
	const char *slash = strrchr(path, '/');

	if (slash == nullptr || strlen(path) >= PATH_MAX ||
	    strlen(slash + 1) > NAME_MAX)
		return nullptr;
	snprintf(dir, PATH_MAX, "%.*s", slash == path ? 1 : (int)(slash - path),
	    path);
	return slash + 1;
}

#endif
