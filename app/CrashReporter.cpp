#include "CrashReporter.h"

#include <QDateTime>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <cxxabi.h>
#include <execinfo.h>
#include <fcntl.h>
#include <memory>
#include <typeinfo>
#include <unistd.h>

#include "platform/Paths.h"
#include "platform/Text.h"

namespace crash {

namespace {

std::string Demangle(const char* name) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> out(abi::__cxa_demangle(name, nullptr, nullptr, &status),
                                               std::free);
    return status == 0 && out ? std::string(out.get()) : std::string(name);
}

std::string CallStack() {
    void* frames[64];
    int n = ::backtrace(frames, 64);
    std::unique_ptr<char*, void (*)(void*)> symbols(::backtrace_symbols(frames, n), std::free);
    std::string out;
    for (int i = 1; i < n && symbols; ++i) {
        std::string line = symbols.get()[i];
        // "module(mangled+0x12) [0x...]": demangle the function name.
        auto open = line.find('(');
        auto plus = line.find('+', open);
        if (open != std::string::npos && plus != std::string::npos && plus > open + 1)
            line = line.substr(0, open + 1) + Demangle(line.substr(open + 1, plus - open - 1).c_str()) +
                   line.substr(plus);
        out += "  #" + std::to_string(i - 1) + " " + line + "\n";
    }
    return out;
}

bool OnGuiThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

std::atomic<bool> gReporting{false};

void EndOrRestart(Choice choice) {
    // Close the windows as a user would, so settings are saved before a new
    // instance reads them, then leave.
    QTimer::singleShot(0, qApp, [choice] {
        QApplication::closeAllWindows();
        if (choice == Choice::Restart)
            QProcess::startDetached(QCoreApplication::applicationFilePath(),
                                    QCoreApplication::arguments().mid(1));
        QCoreApplication::exit(1);
    });
}

} // namespace

Report MakeReport(std::exception_ptr error) {
    Report r;
    r.Time = QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toStdString();
    r.Version = SCALEDB_VERSION;
    r.Thread = OnGuiThread() ? "GUI thread" : "worker thread";
    r.Stack = CallStack();
    try {
        if (error) std::rethrow_exception(error);
        r.Type = "(none)";
        r.Message = "Unknown failure";
    } catch (const std::exception& e) {
        r.Type = Demangle(typeid(e).name());
        r.Message = e.what();
    } catch (...) {
        auto* type = abi::__cxa_current_exception_type();
        r.Type = type ? Demangle(type->name()) : "(unknown)";
        r.Message = "Unknown exception";
    }
    return r;
}

std::string FormatReport(const Report& r) {
    return "Time: " + r.Time + "\n" + "Program: Scale database " + r.Version + "\n" + "Thread: " + r.Thread +
           "\n" + "Exception: " + r.Type + "\n" + "Message: " + r.Message + "\n" +
           "Call stack (where the error was caught):\n" + r.Stack;
}

bool AppendToLog(const Report& r) {
    const std::string text = FormatReport(r) + "\n";
    const std::string path = platform::SettingsDir() + LogFileName;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return ::close(fd) == 0 && left == 0;
}

Choice ShowReportBox(const Report& r) {
    QMessageBox box(QMessageBox::Critical, "Scale database", platform::ToQString(r.Message));
    QString info = "The program met an error it could not handle. You can end the program or restart it.";
    if (r.Logged) info += QString(" The report was saved in ") + LogFileName + ".";
    box.setInformativeText(info);
    box.setDetailedText(platform::ToQString(FormatReport(r)));
    QPushButton* restart = box.addButton("Restart program", QMessageBox::AcceptRole);
    QPushButton* end = box.addButton("End program", QMessageBox::RejectRole);
    box.setDefaultButton(end);
    box.setEscapeButton(end);
    box.exec();
    return box.clickedButton() == restart ? Choice::Restart : Choice::End;
}

void HandleException(std::exception_ptr error) {
    Report report = MakeReport(error);
    report.Logged = AppendToLog(report);
    auto* app = QCoreApplication::instance();
    if (!app) {
        std::fputs(FormatReport(report).c_str(), stderr);
        std::_Exit(1);
    }
    if (!OnGuiThread()) {
        QMetaObject::invokeMethod(
            app,
            [report] {
                if (gReporting.exchange(true)) return;
                Choice c = ShowReportBox(report);
                gReporting = false;
                EndOrRestart(c);
            },
            Qt::QueuedConnection);
        return;
    }
    // A second failure while the first is being reported is only logged.
    if (gReporting.exchange(true)) return;
    Choice c = ShowReportBox(report);
    gReporting = false;
    EndOrRestart(c);
}

void Install() {
    std::set_terminate([] {
        Report r = MakeReport(std::current_exception());
        AppendToLog(r);
        std::fputs(FormatReport(r).c_str(), stderr);
        std::abort();
    });
}

} // namespace crash

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        crash::HandleException(std::current_exception());
        return false;
    }
}
