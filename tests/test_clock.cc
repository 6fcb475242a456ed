/*
 * Preloaded into the sandboxed programs by the tests, it gives them a clock
 * of the test's making:
 *
 *   SLOW_CLOCK=K        the monotonic clock runs K times slower than the
 *                       machine's, and every timed wait (nanosleep, poll,
 *                       ppoll, sigtimedwait) lasts K times longer: the
 *                       programs keep their time among themselves, while
 *                       a delay of the machine's (a loaded scheduler)
 *                       counts K times less against their windows
 *   CLOCK_OFFSET_FILE   the monotonic clock runs ahead by the number of
 *                       milliseconds written in that file (none while it
 *                       is missing), so that a test can let a minute pass
 *                       in a moment
 *
 * Every other clock is the C library's own.
 */

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

namespace {

long long
slower()
{
	const char *k = getenv("SLOW_CLOCK");
	long long n = k != nullptr ? atoll(k) : 1;
	return n > 1 ? n : 1;
}

long long
offset_ns()
{
	const char *path = getenv("CLOCK_OFFSET_FILE");
	char text[32] = "";
	int fd;

	if (path == nullptr || (fd = open(path, O_RDONLY | O_CLOEXEC)) == -1)
		return 0;
	ssize_t n = read(fd, text, sizeof(text) - 1);
	close(fd);
	return n > 0 ? atoll(text) * 1000000LL : 0;
}

constexpr long long ns_per_s = 1000000000LL;

struct timespec
stretched(const struct timespec *span)
{
	long long ns = (span->tv_sec * ns_per_s + span->tv_nsec) * slower();
	return { (time_t)(ns / ns_per_s), (long)(ns % ns_per_s) };
}

template <typename F>
F *
next(const char *name)
{
	return (F *)dlsym(RTLD_NEXT, name);
}

} // namespace

extern "C" int
clock_gettime(clockid_t clock, struct timespec *now)
{
	int done = next<int(clockid_t, struct timespec *)>("clock_gettime")(
	    clock, now);
	if (done != 0 || clock != CLOCK_MONOTONIC)
		return done;
	long long ns =
	    (now->tv_sec * ns_per_s + now->tv_nsec) / slower() + offset_ns();
	now->tv_sec = (time_t)(ns / ns_per_s);
	now->tv_nsec = (long)(ns % ns_per_s);
	return done;
}

extern "C" int
nanosleep(const struct timespec *span, struct timespec *left)
{
	struct timespec longer = stretched(span), rest;
	int done = next<int(const struct timespec *, struct timespec *)>(
	    "nanosleep")(&longer, &rest);
	if (done == -1 && left != nullptr) {
		long long ns =
		    (rest.tv_sec * ns_per_s + rest.tv_nsec) / slower();
		*left = { (time_t)(ns / ns_per_s), (long)(ns % ns_per_s) };
	}
	return done;
}

extern "C" int
poll(struct pollfd *fds, nfds_t n, int timeout_ms)
{
	return next<int(struct pollfd *, nfds_t, int)>("poll")(
	    fds, n, timeout_ms > 0 ? (int)(timeout_ms * slower()) : timeout_ms);
}

extern "C" int
ppoll(struct pollfd *fds, nfds_t n, const struct timespec *limit,
    const sigset_t *mask)
{
	struct timespec longer;
	if (limit != nullptr)
		longer = stretched(limit);
	return next<int(struct pollfd *, nfds_t, const struct timespec *,
	    const sigset_t *)>("ppoll")(
	    fds, n, limit != nullptr ? &longer : nullptr, mask);
}

extern "C" int
sigtimedwait(const sigset_t *set, siginfo_t *info, const struct timespec *limit)
{
	struct timespec longer;
	if (limit != nullptr)
		longer = stretched(limit);
	return next<int(
	    const sigset_t *, siginfo_t *, const struct timespec *)>(
	    "sigtimedwait")(set, info, limit != nullptr ? &longer : nullptr);
}
