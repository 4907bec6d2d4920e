// Waits on the operating system that a signal cuts short: whether the interpreter wants to stop.
#pragma once

#include "loading/load_configuration.hpp"
#include "python/handle.hpp"

namespace qarv {

/// Asked when a wait on the operating system is cut short by a signal: runs the interpreter's
/// signal handlers, and says whether one raised (the exception is then pending).
inline bool signal_handler_raised() { return PyErr_CheckSignals() < 0; }

/// The reader's check on an interrupted wait: stop when a signal handler raised.
inline const StopCheck& stop_on_signal() {
    static const StopCheck stop = signal_handler_raised;
    return stop;
}

} // namespace qarv
