// The label daemon: fork, single-instance guard, pid files, signals, the
// five service threads and the orderly stop.
#pragma once

// Runs the daemon; returns (in the daemon) its exit status. The calling
// parent process never returns: it exits with the guard's result.
int startDaemon(bool writePidFile);
