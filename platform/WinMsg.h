#pragma once
// Window handles and posted window messages on top of the Qt event loop.
//
// A handle names a window procedure registered on the GUI thread. Posting to
// a handle is safe from any thread; the message is delivered later on the GUI
// thread, and dropped when the handle was released in the meantime.
#include <cstdint>
#include <functional>

namespace platform {

using HWND = std::uintptr_t;
using UINT = unsigned int;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

constexpr UINT WM_USER = 0x0400;

using WindowProc = std::function<LRESULT(UINT msg, WPARAM wParam, LPARAM lParam)>;

// GUI thread only. Returns a new non-zero handle whose messages go to `proc`.
HWND AllocateHWnd(WindowProc proc);
// GUI thread only. Messages still queued for the handle are dropped.
void DeallocateHWnd(HWND handle);

// Any thread. Queues the message; false when the handle is not (or no longer) valid.
bool PostMessage(HWND handle, UINT msg, WPARAM wParam, LPARAM lParam);

// GUI thread only. Runs the handle's procedure now; 0 when the handle is gone.
LRESULT CallWindowProc(HWND handle, UINT msg, WPARAM wParam, LPARAM lParam);

// The result a window procedure gives for a message it does not handle.
inline LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

} // namespace platform
