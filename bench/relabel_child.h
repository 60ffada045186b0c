// A relabel run in a process of its own, started by the benchmark so that the
// run's peak memory is measured apart from the benchmark's.
#pragma once

constexpr const char kRelabelChildOption[] = "--relabel-child";

// Relabels root at WARN with an empty, ready store; the exit status.
int relabelChildMain(const char* root);
