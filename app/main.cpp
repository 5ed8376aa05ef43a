#include "app/CrashReporter.h"
#include "app/okno.h"
#include "links/serial/CPort.h"
#include "platform/Signals.h"
#include "platform/ThreadGuard.h"
#include "platform/Translate.h"
#include "settings/ConnectionUnit.h"

#include <QIcon>
#include <QPointer>
#include <cstdio>
#include <cstring>

namespace {

const char* const kHelp = "Usage: scaledb [--help | --version]\n"
                          "\n"
                          "Scale database loads a product or user database from a semicolon-separated\n"
                          "file into a grid and sends it to a weighing scale, one acknowledged line at\n"
                          "a time, over RS-232, TCP or UDP.\n"
                          "\n"
                          "  --help     show this text and exit\n"
                          "  --version  show the version and exit\n"
                          "\n"
                          "Any other argument is ignored. The link settings are kept in config.xml and\n"
                          "ComPortTest.ini beside the program when it may write there, otherwise in\n"
                          "$XDG_CONFIG_HOME/scaledb/ (by default ~/.config/scaledb/). Serial ports need\n"
                          "membership of the dialout group. See scaledb(1).\n";

// Returns the exit status when an argument asks for text instead of the window.
int PrintRequested(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::fputs("scaledb " SCALEDB_VERSION "\n", stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    if (int rc = PrintRequested(argc, argv); rc >= 0) return rc;
    crash::Install();
    platform::InitTranslation();
    TApplication app(argc, argv);
    // The installed menu entry's icon; the desktop matches windows to the entry.
    TApplication::setWindowIcon(QIcon::fromTheme("scaledb"));
    TApplication::setDesktopFileName("org.example.scaledb");
    ApplicationHandleException = [](std::exception_ptr e) { crash::HandleException(e); };
    platform::UnhandledThreadException = [](std::exception_ptr e) { crash::HandleException(e); };

    auto* form = new TForm1;
    form->setAttribute(Qt::WA_DeleteOnClose);
    // Logging out or stopping the session closes the window the orderly way,
    // so its settings are saved.
    QPointer<TForm1> window(form);
    platform::TerminationSignals sessionEnd([window](int) {
        if (window) window->EndSession();
    });
    CreateConnectionForm();
    form->show();
    const int rc = TApplication::exec();
    DestroyConnectionForm();
    return rc;
}
