#pragma once
// Hand-over of work to the GUI thread (the thread of QCoreApplication::instance()).
#include "WinMsg.h"

#include <functional>

namespace platform {

// Blocking hand-over: runs fn on the GUI thread and waits; an exception thrown by fn is
// re-thrown here. Called on the GUI thread itself it just runs fn.
void Synchronize(const std::function<void()>& fn);

// Waits until `finished()` is true (checked when woken and at least every 1000 ms). On the
// GUI thread it keeps running queued hand-overs and sent messages while it waits, so a
// thread blocked in Synchronize or SendMessageA can finish. The other side calls
// WakeWaiters() when whatever `finished` looks at has changed (e.g. after its thread ends).
void WaitFor(const std::function<bool()>& finished);
void WakeWaiters();

// Sent window messages, for the port's hidden notification window. Blocking; runs the
// handle's procedure on the GUI thread; from the GUI thread a direct call.
LRESULT SendMessageA(HWND h, UINT msg, WPARAM w, LPARAM l);
// True inside a procedure run for another thread's SendMessageA.
bool InSendMessage();
// Releases that sender now with `result`; false when there is no sender to release.
bool ReplyMessage(LRESULT result);

// True on the GUI thread (or when there is no application object yet).
bool IsGuiThread();
// GUI thread: runs every queued hand-over and sent message now. Returns how many ran.
int ProcessHandOvers();

} // namespace platform
