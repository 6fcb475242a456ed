/*
 * Preloaded into bistack-lease by the tests: inotify cannot be had, as
 * when the user's instances are used up.
 */

#include <errno.h>

extern "C" int
inotify_init1(int)
{
	errno = EMFILE;
	return -1;
}

extern "C" int
inotify_init(void)
{
	errno = EMFILE;
	return -1;
}
