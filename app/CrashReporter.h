#pragma once
// Last line of defence: an exception that no handler caught is shown to the
// user with the choice to end or restart the program, and logged beside the
// executable.
#include <QApplication>
#include <exception>
#include <functional>
#include <string>

namespace crash {

struct Report {
    std::string Time;
    std::string Version;
    std::string Type;
    std::string Message;
    std::string Thread;
    std::string Stack;
    bool Logged = false; // the report reached the log file
};

enum class Choice { End, Restart };

// The name of the log file beside the executable.
constexpr const char* LogFileName = "scaledb-crash.log";

Report MakeReport(std::exception_ptr error);
std::string FormatReport(const Report& report);
// False when the log file cannot be written (a read-only program folder).
bool AppendToLog(const Report& report);

// Modal error box with the message, a details view and the two choices.
Choice ShowReportBox(const Report& report);

// Logs, asks (on the GUI thread) and then ends or restarts the program in an
// orderly way. From another thread the report is handed to the GUI thread.
void HandleException(std::exception_ptr error);

// std::terminate handler and the like; called once at start.
void Install();

// Runs fn; an exception leaving it goes to HandleException.
template <class F> void Guard(F&& fn) {
    try {
        fn();
    } catch (...) {
        HandleException(std::current_exception());
    }
}

} // namespace crash

// The application object: an exception escaping an event handler reaches the
// crash reporter instead of ending the process.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};
