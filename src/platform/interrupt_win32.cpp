// Win32 interruption requests: Ctrl-C, Ctrl-Break and the console's close, logoff and shutdown
// events set a flag.

#include <windows.h>

#include <atomic>

#include "platform/interrupt.h"
#include "platform/text_format.h"

namespace vesk {

namespace {

// The first event's type plus one; 0 while none arrived (CTRL_C_EVENT is 0).
std::atomic<DWORD> received_event{0};

const char* event_name(DWORD type) {
    switch (type) {
    case CTRL_C_EVENT:
        return "CTRL_C_EVENT";
    case CTRL_BREAK_EVENT:
        return "CTRL_BREAK_EVENT";
    case CTRL_CLOSE_EVENT:
        return "CTRL_CLOSE_EVENT";
    case CTRL_LOGOFF_EVENT:
        return "CTRL_LOGOFF_EVENT";
    case CTRL_SHUTDOWN_EVENT:
        return "CTRL_SHUTDOWN_EVENT";
    default:
        return "a console event";
    }
}

// Runs on a thread of its own. The system ends the process as soon as the handler of a close,
// logoff or shutdown event returns, so that handler waits instead, giving the run the time the
// system allows to end the child and release the lock; the process ends when the run does.
BOOL WINAPI note_event(DWORD type) {
    if (type > CTRL_SHUTDOWN_EVENT) {
        return FALSE;
    }
    DWORD none = 0;
    received_event.compare_exchange_strong(none, type + 1);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        ::Sleep(INFINITE);
    }
    return TRUE;
}

} // namespace

void install_interrupt_handlers() {
    ::SetConsoleCtrlHandler(note_event, TRUE);
}

bool interrupt_requested() noexcept {
    return received_event.load(std::memory_order_relaxed) != 0;
}

void throw_if_interrupted() {
    const DWORD event = received_event.load(std::memory_order_relaxed);
    if (event != 0) {
        throw RunInterrupted(
            format("The run was interrupted by %s; nothing was committed.", event_name(event - 1)));
    }
}

} // namespace vesk
