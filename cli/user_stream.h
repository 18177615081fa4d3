// The user's terminal: the real standard error, kept apart from what the plug-in and agent write.
#ifndef VORN_CLI_USER_STREAM_H
#define VORN_CLI_USER_STREAM_H

#include <cstdio>

namespace vorncli {

// Where every message meant for the user goes: failures, progress, requested log lines.
FILE *userStream();

// Keeps the real standard error as the user stream and points descriptor 2 at a pipe, so that
// what the plug-in and its agents write there is shown only when `show` is true.
void captureStandardError(bool show);

// Ends the capture, once everything written so far has been shown or dropped.
void releaseStandardError();

} // namespace vorncli

#endif
