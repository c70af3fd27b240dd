#pragma once
// Requests to end the process (SIGTERM, SIGINT and SIGHUP on POSIX; Ctrl-C, Ctrl-Break and the
// console's close, logoff and shutdown events on Windows) become a flag that the long steps of
// a run check. The run then ends through its ordinary error path: the running child
// and what it started are ended, nothing is committed, the reason is logged and the destination
// lock is released. The flag is the one piece of process-wide state a signal handler can set.

#include <stdexcept>
#include <string>

namespace vesk {

// The error that ends a run after an interruption request.
class RunInterrupted : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Routes the interruption signals to the flag; later signals only set it again, so a second
// request while the run is ending cannot cut that ending short.
void install_interrupt_handlers();
// True once a request arrived.
bool interrupt_requested() noexcept;
// Throws RunInterrupted naming the request when one arrived.
void throw_if_interrupted();

} // namespace vesk
