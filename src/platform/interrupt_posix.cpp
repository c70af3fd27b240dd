// POSIX interruption requests: SIGTERM, SIGINT and SIGHUP set a flag.

#include <atomic>
#include <csignal>

#include "platform/interrupt.h"
#include "platform/text_format.h"

namespace vesk {

namespace {

std::atomic<int> received_signal{0};

extern "C" void note_signal(int signal) {
    int none = 0;
    received_signal.compare_exchange_strong(none, signal);
}

const char* signal_name(int signal) {
    switch (signal) {
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "a signal";
    }
}

} // namespace

void install_interrupt_handlers() {
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait in progress returns at once and the flag is seen.
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        ::sigaction(signal, &action, nullptr);
    }
}

bool interrupt_requested() noexcept {
    return received_signal.load(std::memory_order_relaxed) != 0;
}

void throw_if_interrupted() {
    const int signal = received_signal.load(std::memory_order_relaxed);
    if (signal != 0) {
        throw RunInterrupted(
            format("The run was interrupted by %s; nothing was committed.", signal_name(signal)));
    }
}

} // namespace vesk
