#ifndef BISTACK_PIDFILE_H
#define BISTACK_PIDFILE_H

#include <stdio.h>
#include <sys/types.h>

/*
 * Read a process ID the way "%d" reads one: leading white space skipped,
 * an optional sign, decimal digits, whatever follows ignored.  Returns the
 * number if it is a usable process ID (1 up to the largest pid_t), and -1
 * for anything else: no number, zero, a negative number, or one too large.
 */
pid_t read_pid(FILE *fp);

#endif
