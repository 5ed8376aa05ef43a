#include "Clock.h"

#include <QTimer>
#include <algorithm>
#include <chrono>

#include "platform/ExactWake.h"

namespace transfer {

namespace {

using Steady = std::chrono::steady_clock;

class TQtTimer : public TEngineTimer {
public:
    explicit TQtTimer(bool exact) {
        FTimer.setSingleShot(true);
        FTimer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&FTimer, &QTimer::timeout, [this] { Expired(); });
        // Qt rounds a wait up to a whole millisecond from the moment the loop
        // sleeps, so a repaint after the start would make the timer late.
        if (exact) FWake = std::make_unique<platform::ExactWake>();
    }
    void Start(int ms) override {
        FActive = true;
        if (FWake) {
            FTimer.start(ms);
            FWake->WakeAfter(std::chrono::milliseconds(ms));
            return;
        }
        // A reply time-out starts over with every command. Qt's timer is left running when
        // it falls due first and is armed again then for the rest: registering a timer
        // anew costs more than the command, and more the more scales share the loop.
        FDue = Steady::now() + std::chrono::milliseconds(ms);
        if (!FTimer.isActive() || FArmedFor > FDue) {
            FArmedFor = FDue;
            FTimer.start(ms);
        }
    }
    void Stop() override {
        FActive = false;
        if (FWake) FTimer.stop();
    }
    bool Active() const override { return FActive; }

private:
    void Expired() {
        if (!FActive) return;
        if (!FWake) {
            const auto left = FDue - Steady::now();
            if (left > Steady::duration::zero()) {
                FArmedFor = FDue;
                FTimer.start(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
                return;
            }
        }
        FActive = false;
        if (OnTimeout) OnTimeout();
    }

    QTimer FTimer;
    std::unique_ptr<platform::ExactWake> FWake;
    bool FActive = false;
    Steady::time_point FDue{}, FArmedFor{};
};

} // namespace

std::unique_ptr<TEngineTimer> TQtClock::NewTimer(bool exact) {
    return std::make_unique<TQtTimer>(exact);
}

TEngineClock& QtClock() {
    static TQtClock clock;
    return clock;
}

class TStepClock::TStepTimer : public TEngineTimer {
public:
    explicit TStepTimer(TStepClock& clock) : FClock(&clock) {}
    ~TStepTimer() override {
        if (FClock) std::erase(FClock->FTimers, this);
    }
    void Start(int ms) override {
        FDue = FClock->FNow + ms;
        FOrder = ++FClock->FStarts;
        FActive = true;
    }
    void Stop() override { FActive = false; }
    bool Active() const override { return FActive; }

    TStepClock* FClock;
    std::int64_t FDue = 0;
    std::uint64_t FOrder = 0;
    bool FActive = false;
};

TStepClock::TStepClock() = default;

TStepClock::~TStepClock() {
    for (TStepTimer* t : FTimers)
        t->FClock = nullptr;
}

std::unique_ptr<TEngineTimer> TStepClock::NewTimer(bool) {
    auto timer = std::make_unique<TStepTimer>(*this);
    FTimers.push_back(timer.get());
    return timer;
}

TStepClock::TStepTimer* TStepClock::Due() const {
    TStepTimer* first = nullptr;
    for (TStepTimer* t : FTimers)
        if (t->FActive &&
            (!first || t->FDue < first->FDue || (t->FDue == first->FDue && t->FOrder < first->FOrder)))
            first = t;
    return first;
}

void TStepClock::Trigger(TStepTimer* timer) {
    timer->FActive = false;
    if (timer->OnTimeout) timer->OnTimeout();
}

void TStepClock::Advance(std::int64_t ms) {
    const std::int64_t until = FNow + ms;
    while (TStepTimer* t = Due()) {
        if (t->FDue > until) break;
        FNow = std::max(FNow, t->FDue);
        Trigger(t);
    }
    FNow = until;
}

bool TStepClock::FireNext() {
    TStepTimer* t = Due();
    if (!t) return false;
    Trigger(t);
    return true;
}

bool TStepClock::Armed(std::size_t i) const {
    return i < FTimers.size() && FTimers[i]->FActive;
}

bool TStepClock::Fire(std::size_t i) {
    if (!Armed(i)) return false;
    Trigger(FTimers[i]);
    return true;
}

} // namespace transfer
