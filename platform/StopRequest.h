// Requests to stop from outside the program (Ctrl-C, a terminate signal), delivered as
// calls on a thread of their own rather than in a signal handler, so that the receiver
// may do anything a normal function may.
#pragma once

#include <functional>

namespace kestrun {

// From now on SIGINT and SIGTERM no longer end the program: each calls onStop(signal) on a
// background thread that lives as long as the program. Call it once, before starting any
// other thread, so that every thread inherits the blocked signals. False when the thread
// cannot be started (the signals then keep their default effect).
bool WatchStopRequests(std::function<void(int signal)> onStop);

} // namespace kestrun
