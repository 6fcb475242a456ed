/*
 * The PID files of the clients, as the supervisor reads them.
 */

#include <ctype.h>
#include <limits.h>
#include <stdio.h>

#include "pidfile.h"

/*
 * Parsed by hand rather than with fscanf("%d"): that gives no defined
 * result for a number beyond int, and glibc wraps it, so a huge number in
 * a damaged file could come out as a small, live process ID.
 */
pid_t
read_pid(FILE *fp)
{
	long long value = 0;
	int c, negative = 0, digits = 0;

	do
		c = getc(fp);
	while (c != EOF && isspace(c));

	if (c == '-' || c == '+') {
		negative = c == '-';
		c = getc(fp);
	}
	for (; c != EOF && isdigit(c); c = getc(fp)) {
		digits = 1;
		/* Past INT_MAX the number is unusable whatever comes next. */
		if (value <= INT_MAX)
			value = value * 10 + (c - '0');
	}

	if (!digits || negative || value == 0 || value > INT_MAX)
		return -1;
	return (pid_t)value;
}
