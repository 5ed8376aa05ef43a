#pragma once
// The engine's sense of time: one-shot timers it arms and stops. Qt's timers in
// the programs; a test drives its own by hand, so no test waits for real time.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace transfer {

class TEngineTimer {
public:
    virtual ~TEngineTimer() = default;
    // Fires OnTimeout once, `ms` from now; a timer already running starts over.
    virtual void Start(int ms) = 0;
    virtual void Stop() = 0;
    virtual bool Active() const = 0;
    std::function<void()> OnTimeout;
};

class TEngineClock {
public:
    virtual ~TEngineClock() = default;
    // `exact`: the timer must fire on time even when the loop was busy after it
    // was started (the window's tick); otherwise a millisecond late is fine.
    virtual std::unique_ptr<TEngineTimer> NewTimer(bool exact) = 0;
};

// Qt's precise timers on the calling thread's event loop; an exact timer also
// wakes the loop with a kernel timer when it is due.
class TQtClock : public TEngineClock {
public:
    std::unique_ptr<TEngineTimer> NewTimer(bool exact) override;
};

// One for the whole process: it holds nothing.
TEngineClock& QtClock();

// Time that moves only when told: the dry run, where no time passes, and tests,
// which wait for nothing real. Outlives the timers it made.
class TStepClock : public TEngineClock {
public:
    TStepClock();
    ~TStepClock() override;
    std::unique_ptr<TEngineTimer> NewTimer(bool exact) override;

    std::int64_t Now() const { return FNow; }
    // Moves time on by `ms`, firing every timer that falls due on the way, in
    // the order they fall due (started first, fired first when at once).
    void Advance(std::int64_t ms);
    // Fires the timer due first, at once, wherever its time; false when none is armed.
    bool FireNext();
    // Fires the i-th timer made, at once, when it is armed (an engine makes its
    // tick first, then its reply time-out); false when it is not.
    bool Fire(std::size_t i);
    bool Armed(std::size_t i) const;

private:
    class TStepTimer;
    TStepTimer* Due() const;
    void Trigger(TStepTimer* timer);
    std::vector<TStepTimer*> FTimers;
    std::int64_t FNow = 0;
    std::uint64_t FStarts = 0;
};

} // namespace transfer
