#pragma once

// Reopens stdin ("r"), stdout and stderr ("w") on /dev/null, in that order;
// 0, or -1 at the first stream that fails (logged).
int redirectToNull();
