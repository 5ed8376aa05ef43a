#include "WinMsg.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <mutex>
#include <unordered_map>

namespace platform {

namespace {

const QEvent::Type kWindowMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct WindowMessageEvent : QEvent {
    WindowMessageEvent(HWND h, UINT m, WPARAM w, LPARAM l)
        : QEvent(kWindowMessageEvent), handle(h), msg(m), wParam(w), lParam(l) {}
    HWND handle;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};

class Dispatcher : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() != kWindowMessageEvent) return QObject::event(e);
        auto* m = static_cast<WindowMessageEvent*>(e);
        CallWindowProc(m->handle, m->msg, m->wParam, m->lParam);
        return true;
    }
};

std::mutex gMutex;
std::unordered_map<HWND, WindowProc> gWindows; // touched on the GUI thread, read under gMutex
HWND gNextHandle = 1;
Dispatcher* gDispatcher = nullptr;

} // namespace

HWND AllocateHWnd(WindowProc proc) {
    std::lock_guard lock(gMutex);
    if (!gDispatcher) {
        // Lives as long as the application object; parented so it goes with it.
        gDispatcher = new Dispatcher;
        if (auto* app = QCoreApplication::instance()) {
            gDispatcher->setParent(app);
            QObject::connect(app, &QObject::destroyed, [] {
                std::lock_guard inner(gMutex);
                gDispatcher = nullptr;
            });
        }
    }
    HWND h = gNextHandle++;
    gWindows.emplace(h, std::move(proc));
    return h;
}

void DeallocateHWnd(HWND handle) {
    std::lock_guard lock(gMutex);
    gWindows.erase(handle);
}

bool PostMessage(HWND handle, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::lock_guard lock(gMutex);
    if (!gDispatcher || gWindows.find(handle) == gWindows.end()) return false;
    QCoreApplication::postEvent(gDispatcher, new WindowMessageEvent(handle, msg, wParam, lParam));
    return true;
}

LRESULT CallWindowProc(HWND handle, UINT msg, WPARAM wParam, LPARAM lParam) {
    WindowProc proc;
    {
        std::lock_guard lock(gMutex);
        auto it = gWindows.find(handle);
        if (it == gWindows.end()) return 0;
        proc = it->second; // a copy: the procedure may release its own handle
    }
    return proc(msg, wParam, lParam);
}

} // namespace platform
