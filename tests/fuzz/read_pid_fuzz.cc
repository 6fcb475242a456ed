/*
 * libFuzzer target for the reading of a client's PID file: on any bytes it
 * must not crash, and must answer either "no usable PID" (-1) or a number
 * from 1 to the largest pid_t, the same as a plain reference reading.
 */

#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "pidfile.h"

/* "%d" semantics through strtoll, which reports overflow instead of wrapping.
 */
static long long
reference(const uint8_t *data, size_t size)
{
	std::string text(reinterpret_cast<const char *>(data), size);
	const char *start = text.c_str();
	char *end;
	errno = 0;
	long long value = strtoll(start, &end, 10);
	if (end == start || errno == ERANGE || value < 1 || value > INT_MAX)
		return -1;
	return value;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	pid_t pid = parse_pid(reinterpret_cast<const char *>(data), size);

	if (pid != -1 && (pid < 1 || pid > INT_MAX))
		abort();
	if (pid != reference(data, size))
		abort();
	return 0;
}
