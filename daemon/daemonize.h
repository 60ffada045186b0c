// Forks the daemon into the background. The parent stays until the child
// reports its single-instance guard, so that its exit status says whether a
// daemon now runs.
#pragma once

// Returns in the child only (after setsid, umask 007, the SIGHUP stop
// handler and the standard streams on /dev/null). The parent exits: 0 once
// the child reports the guard held, 1 when it reports it refused or the fork
// fails, the child's own status when it ends without a report.
void daemonize();
// Child: hands the guard's result to the waiting parent (once).
void reportGuardResult(bool held);
