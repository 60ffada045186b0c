// Running external programs and reading process and kernel text from /proc.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

// Runs program (an explicit path, not searched in PATH) with the arguments
// and returns its standard output as lines of at most 1023 bytes each (a
// longer line is split), without their newlines. Any failure, a non-zero exit
// status or death by a signal gives an empty list. Safe on any thread.
// wholeLines: lines are never split, for output where the pieces of a long
// line could not be told from a line that fills a piece exactly.
// The child runs in a process group of its own and holds no descriptor
// above 2 but its output.
std::vector<std::string> executeCommand(const std::string& program, const std::vector<std::string>& args,
                                        bool wholeLines = false);

// For the stop of the process: kills the process group of every running
// command (their callers get an empty list) and makes every later
// executeCommand fail without starting anything.
void endRunningCommands();

// Executable path to the pids that run it; processes without a readable
// executable (kernel threads, processes that are gone) are left out.
std::map<std::string, std::vector<int>> findProcessExeFile();

// The kernel command line as (key, value) pairs; a token without '=' has an
// empty value.
std::vector<std::pair<std::string, std::string>> parseKernelCmdline();
