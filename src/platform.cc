/*
 * The system-specific half of the supervisor: one branch per system, and
 * no other file that knows which system it is built for.
 */

#include <sys/types.h>
#if defined(__FreeBSD__)
#include <sys/sysctl.h>
#include <sys/user.h>
#elif defined(__DragonFly__)
#include <sys/param.h>
#include <sys/sysctl.h>
#include <sys/kinfo.h>
#elif !defined(__linux__)
#error "bistack-lease knows Linux, FreeBSD and DragonFly BSD"
#endif

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "platform.h"

#if defined(__linux__)

/*
 * /proc/PID/stat: "PID (NAME) STATE ...", where the name, cut to 15
 * characters, may itself hold spaces and parentheses.  Without procfs, a
 * process's existence can still be told, but not its name.
 */
int
process_name(pid_t pid, char *name, size_t size)
{
	char path[32], stat[128];
	char *lparen, *rparen;
	ssize_t n;
	int fd;

	snprintf(path, sizeof(path), "/proc/%d/stat", (int)pid);
	if ((fd = open(path, O_RDONLY | O_CLOEXEC)) == -1)
		return kill(pid, 0) == -1 && errno == ESRCH ? 0 : -1;
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
	return 1;
}

#elif defined(__FreeBSD__)

/*
 * A missing process is ESRCH, but a zombie is answered like any other; and
 * a number above PID_MAX is taken for a thread ID and answered with that
 * thread's process, so the answer must be for the PID asked.
 */
int
process_name(pid_t pid, char *name, size_t size)
{
	int mib[4] = { CTL_KERN, KERN_PROC, KERN_PROC_PID, (int)pid };
	struct kinfo_proc kp;
	size_t len = sizeof(kp);

	if (sysctl(mib, 4, &kp, &len, nullptr, 0) == -1)
		return errno == ESRCH ? 0 : -1;
	if (len != sizeof(kp))
		return -1;
	if (kp.ki_pid != pid || kp.ki_stat == SZOMB)
		return 0;
	snprintf(name, size, "%s", kp.ki_comm);
	return 1;
}

#elif defined(__DragonFly__)

/*
 * A process that does not exist, or is a zombie, is no error: the answer is
 * empty.  Only a full answer names a process.
 */
int
process_name(pid_t pid, char *name, size_t size)
{
	int mib[4] = { CTL_KERN, KERN_PROC, KERN_PROC_PID, (int)pid };
	struct kinfo_proc kp;
	size_t len = sizeof(kp);

	if (sysctl(mib, 4, &kp, &len, nullptr, 0) == -1)
		return errno == ESRCH ? 0 : -1;
	if (len == 0)
		return 0;
	if (len != sizeof(kp))
		return -1;
	if (kp.kp_pid != pid)
		return 0;
	snprintf(name, size, "%s", kp.kp_comm);
	return 1;
}

#endif
