#include "GuiSync.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>

namespace platform {

namespace {

// One piece of work for the GUI thread: a hand-over or a sent message.
struct Job {
    std::function<void()> fn; // hand-over
    HWND hwnd = 0;            // sent message
    UINT msg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    bool isMessage = false;

    // Guarded by gMutex.
    bool released = false; // the sender may go on (done, or replied early)
    LRESULT result = 0;
    std::exception_ptr error;
};

std::mutex gMutex;
std::condition_variable gCond; // job released, work queued, or waiters woken
std::deque<std::shared_ptr<Job>> gQueue;
std::uint64_t gWakeGeneration = 0;

// The sent message whose procedure runs now on the GUI thread (innermost).
thread_local Job* tCurrentSend = nullptr;

void Release(Job& job) { // gMutex held
    job.released = true;
    gCond.notify_all();
}

// Runs one job on the GUI thread and releases its sender.
void Run(const std::shared_ptr<Job>& job) {
    std::exception_ptr error;
    LRESULT result = 0;
    if (job->isMessage) {
        Job* outer = tCurrentSend;
        tCurrentSend = job.get();
        try {
            result = CallWindowProc(job->hwnd, job->msg, job->wParam, job->lParam);
        } catch (...) {
            error = std::current_exception();
        }
        tCurrentSend = outer;
    } else {
        try {
            job->fn();
        } catch (...) {
            error = std::current_exception();
        }
    }
    bool senderGone;
    {
        std::lock_guard lock(gMutex);
        senderGone = job->released;
        if (!senderGone) {
            job->result = result;
            job->error = error;
            Release(*job);
        }
    }
    // A procedure that already replied has no one to hand its failure to: it stays here.
    if (senderGone && error) std::rethrow_exception(error);
}

// Queues a job from another thread and waits until the GUI thread releases it.
void HandOver(const std::shared_ptr<Job>& job) {
    {
        std::lock_guard lock(gMutex);
        gQueue.push_back(job);
    }
    gCond.notify_all(); // a GUI thread inside WaitFor picks it up at once
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { ProcessHandOvers(); }, Qt::QueuedConnection);
    std::unique_lock lock(gMutex);
    gCond.wait(lock, [&] { return job->released; });
}

} // namespace

bool IsGuiThread() {
    auto* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

int ProcessHandOvers() {
    int ran = 0;
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::lock_guard lock(gMutex);
            if (gQueue.empty()) return ran;
            job = std::move(gQueue.front());
            gQueue.pop_front();
        }
        ++ran;
        Run(job);
    }
}

void Synchronize(const std::function<void()>& fn) {
    if (IsGuiThread()) {
        fn();
        return;
    }
    auto job = std::make_shared<Job>();
    job->fn = fn;
    HandOver(job);
    if (job->error) std::rethrow_exception(job->error);
}

void WaitFor(const std::function<bool()>& finished) {
    const bool gui = IsGuiThread();
    for (;;) {
        std::uint64_t generation;
        {
            std::lock_guard lock(gMutex);
            generation = gWakeGeneration;
        }
        if (gui) ProcessHandOvers();
        if (finished()) return;
        std::unique_lock lock(gMutex);
        gCond.wait_for(lock, std::chrono::milliseconds(1000),
                       [&] { return gWakeGeneration != generation || (gui && !gQueue.empty()); });
    }
}

void WakeWaiters() {
    {
        std::lock_guard lock(gMutex);
        ++gWakeGeneration;
    }
    gCond.notify_all();
}

LRESULT SendMessageA(HWND h, UINT msg, WPARAM w, LPARAM l) {
    if (IsGuiThread()) return CallWindowProc(h, msg, w, l);
    auto job = std::make_shared<Job>();
    job->isMessage = true;
    job->hwnd = h;
    job->msg = msg;
    job->wParam = w;
    job->lParam = l;
    HandOver(job);
    if (job->error) std::rethrow_exception(job->error);
    return job->result;
}

bool InSendMessage() {
    return tCurrentSend != nullptr;
}

bool ReplyMessage(LRESULT result) {
    Job* job = tCurrentSend;
    if (!job) return false;
    std::lock_guard lock(gMutex);
    if (job->released) return false;
    job->result = result;
    Release(*job);
    return true;
}

} // namespace platform
