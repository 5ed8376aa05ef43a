#pragma once
#include <QCoreApplication>
#include <chrono>
#include <functional>

// Processes GUI-thread events until `done` holds or the deadline passes.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

#include "links/serial/CPort.h"

#include <string>
#include <vector>

// Collects what reaches the application's exception handler while alive.
struct HandlerCapture {
    std::vector<std::string> messages;
    std::function<void(std::exception_ptr)> saved = ApplicationHandleException;
    HandlerCapture() {
        ApplicationHandleException = [this](std::exception_ptr e) {
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& ex) {
                messages.push_back(ex.what());
            } catch (...) {
                messages.push_back("?");
            }
        };
    }
    ~HandlerCapture() { ApplicationHandleException = saved; }
    HandlerCapture(const HandlerCapture&) = delete;
    HandlerCapture& operator=(const HandlerCapture&) = delete;
};
