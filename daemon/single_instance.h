// The daemon's single-instance guard: an abstract socket name and an
// exclusive lock on the lock file, both held until the process ends.
#pragma once

#include <sys/types.h>

// True when this process now holds both; false (logged) when another
// instance does or the guard cannot be set up.
bool checkProcess();
// Logs every other process that runs an executable named like this one.
void diagnoseDuplicateInstance(pid_t pid);
