#pragma once
// Turns SIGTERM, SIGINT and SIGHUP into a normal quit of the application's event loop, so that
// everything that runs when the application is about to quit (the flush of a pending edit
// among it) also runs on a logout, a `kill`, Ctrl+C or the close of the terminal it was started
// from.

namespace tidewell::QuitSignals {

// Installs the handlers; call once, after the QCoreApplication exists. Returns false when the
// signal pipe or a handler cannot be set up (the default actions then stay in place).
bool install();

}  // namespace tidewell::QuitSignals
