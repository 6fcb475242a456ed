#ifndef BISTACK_PROCNAME_H
#define BISTACK_PROCNAME_H

#include <stddef.h>
#include <sys/types.h>

/*
 * Fill name with the kernel's command name of process pid (the executed
 * file's name, as the kernel keeps it).  Returns 0 on success, -1 when the
 * name cannot be told: no such process, or no way to ask on this system.
 */
int process_name(pid_t pid, char *name, size_t size);

#endif
