#include "app/CrashReporter.h"
#include "app/okno.h"
#include "links/serial/CPort.h"
#include "platform/ThreadGuard.h"
#include "platform/Translate.h"
#include "settings/ConnectionUnit.h"

int main(int argc, char** argv) {
    crash::Install();
    platform::InitTranslation();
    TApplication app(argc, argv);
    ApplicationHandleException = [](std::exception_ptr e) { crash::HandleException(e); };
    platform::UnhandledThreadException = [](std::exception_ptr e) { crash::HandleException(e); };

    auto* form = new TForm1;
    form->setAttribute(Qt::WA_DeleteOnClose);
    CreateConnectionForm();
    form->show();
    const int rc = TApplication::exec();
    DestroyConnectionForm();
    return rc;
}
