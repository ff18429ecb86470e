#pragma once

#include <csignal>

namespace app {

// SIGINT and SIGTERM held pending from now on, in this thread and every thread started after,
// for the caller to take with sigwait or sigtimedwait. Call before any thread starts.
sigset_t block_stop_signals();

}  // namespace app
