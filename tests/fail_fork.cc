/*
 * Preloaded into bistack-lease by the tests: the Nth call of fork() in a
 * process, N from $FAIL_FORK, fails with EAGAIN, as it does at a process
 * limit; every other call is the C library's own.
 */

#include <sys/types.h>

#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

extern "C" pid_t
fork(void)
{
	static int calls;
	const char *nth = getenv("FAIL_FORK");

	if (nth != nullptr && ++calls == atoi(nth)) {
		errno = EAGAIN;
		return -1;
	}
	auto real_fork = (pid_t(*)(void))dlsym(RTLD_NEXT, "fork");
	return real_fork();
}
