// Ctrl-C handling: SIGINT asks the running operation to stop at its next cancellation point.
#ifndef VORN_CLI_INTERRUPT_H
#define VORN_CLI_INTERRUPT_H

namespace vorncli {

// Installs the SIGINT handler. A second Ctrl-C ends the process at once.
void installInterruptHandler();

// True once SIGINT has arrived; serves as the plug-in's cancel hook.
bool interrupted();

} // namespace vorncli

#endif
