#pragma once

// Reopens stdin ("r"), stdout and stderr ("w") on /dev/null, in that order;
// 0, or -1 at the first stream that fails (logged).
int redirectToNull();
// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. Runs
// before anything opens a file: a file that took one of those numbers would
// be closed when the streams are reopened.
void openClosedStandardDescriptors();
