#pragma once
// Threads the program starts run their body through RunGuarded, and so do the
// settings dialogs' handlers, so an exception nobody caught reaches the
// application's crash reporter instead of ending the process without a word.
#include <exception>
#include <functional>

namespace platform {

// Set once at start (the crash reporter); called on the failing thread.
// Unset, the exception goes on to the caller.
extern std::function<void(std::exception_ptr)> UnhandledThreadException;

template <class F> void RunGuarded(F&& body) {
    try {
        body();
    } catch (...) {
        if (!UnhandledThreadException) throw;
        UnhandledThreadException(std::current_exception());
    }
}

} // namespace platform
