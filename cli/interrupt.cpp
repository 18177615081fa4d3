#include "interrupt.h"

#include <signal.h>

namespace vorncli {

namespace {

volatile sig_atomic_t g_interrupted = 0;

void onInterrupt(int) {
    g_interrupted = 1;
}

} // namespace

void installInterruptHandler() {
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // One request to stop politely; the handler is then reset so a second Ctrl-C still works
    // when an operation does not reach a cancellation point.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
}

bool interrupted() {
    return g_interrupted != 0;
}

} // namespace vorncli
