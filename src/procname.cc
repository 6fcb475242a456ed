/*
 * The one question the supervisor must ask in a system's own way: the
 * command name the kernel keeps for a process.
 */

#include <sys/types.h>
#if defined(__DragonFly__)
#include <sys/param.h>
#include <sys/sysctl.h>
#include <sys/kinfo.h>
#endif

#include <stdio.h>
#include <string.h>

#include "procname.h"

#if defined(__linux__)

/* The executed file's name, cut to 15 characters, and a newline. */
int
process_name(pid_t pid, char *name, size_t size)
{
	char path[32];
	FILE *fp;
	int ok;

	snprintf(path, sizeof(path), "/proc/%d/comm", (int)pid);
	if ((fp = fopen(path, "r")) == nullptr)
		return -1;
	ok = fgets(name, (int)size, fp) != nullptr;
	fclose(fp);
	if (!ok)
		return -1;
	name[strcspn(name, "\n")] = '\0';
	return 0;
}

#elif defined(__DragonFly__)

/*
 * A process that does not exist, or is a zombie, is no error to sysctl: it
 * answers with nothing, so only a full answer names a process.
 */
int
process_name(pid_t pid, char *name, size_t size)
{
	int mib[4] = { CTL_KERN, KERN_PROC, KERN_PROC_PID, (int)pid };
	struct kinfo_proc kp;
	size_t len = sizeof(kp);

	if (sysctl(mib, 4, &kp, &len, nullptr, 0) == -1 || len != sizeof(kp))
		return -1;
	snprintf(name, size, "%s", kp.kp_comm);
	return 0;
}

#else

int
process_name(pid_t, char *, size_t)
{
	return -1;
}

#endif
