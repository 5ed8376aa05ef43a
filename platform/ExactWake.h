#pragma once
// Wakes the GUI thread's event loop at an exact moment.
//
// Qt rounds every timer wait up to a whole millisecond, counted from the
// moment the loop goes to sleep; so work done (or a wake-up for anything
// else) after a timer was started makes it fire up to a millisecond late.
// A kernel timer on the loop's poll set wakes it on time, and the due Qt
// timer then fires in that same pass.
#include <QObject>
#include <chrono>

class QSocketNotifier;

namespace platform {

class ExactWake : public QObject {
public:
    explicit ExactWake(QObject* parent = nullptr);
    ~ExactWake() override;
    // Wakes the loop `after` from now; a later call replaces the earlier one.
    void WakeAfter(std::chrono::nanoseconds after);

private:
    int FFd = -1;
    QSocketNotifier* FNotifier = nullptr;
};

} // namespace platform
