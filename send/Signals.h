#pragma once
// SIGINT, SIGTERM and SIGHUP end a run: nothing more is sent, the report is still printed.

namespace sendcmd {

// Installs the handlers; returns a descriptor that becomes readable at the first signal.
int InstallStopSignals();
// The signal that asked to stop, or 0. Safe to ask from anywhere, at any time.
int StopSignal();
inline bool StopRequested() {
    return StopSignal() != 0;
}
// "SIGINT" and the like.
const char* SignalName(int signal);

} // namespace sendcmd
