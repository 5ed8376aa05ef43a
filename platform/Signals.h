#pragma once
#include <QObject>
#include <csignal>
#include <functional>

class QSocketNotifier;

namespace platform {

// While it lives, SIGTERM, SIGHUP and SIGINT do not end the process at once:
// each one calls `onSignal` on the thread that created this object (the GUI
// thread), through a pipe written by the signal handler. The handlers that were
// in place before come back when it is destroyed. One instance at a time.
class TerminationSignals : public QObject {
public:
    explicit TerminationSignals(std::function<void(int)> onSignal, QObject* parent = nullptr);
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // The first of these signals since construction, or 0; set in the handler itself, so it
    // is known before the loop runs `onSignal`.
    static int Received();

private:
    void Drain();

    std::function<void(int)> FOnSignal;
    int FPipe[2] = {-1, -1};
    QSocketNotifier* FNotifier = nullptr;
    struct sigaction FPrevious[3]{};
};

} // namespace platform
