// The dialogs in another language: the process picks its language once, so
// the Polish checks run in a child process started with LANG=pl.
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "dialogs_support.h"
#include "links/ethernet/LinkState.h"
#include "platform/SerialFake.h"
#include "platform/TranslateForm.h"
#include "settings/CPortSetup.h"
#include "settings/ConnectionUnit.h"

namespace {

constexpr const char* kChildMarker = "SCALEDB_POLISH_CHILD";

// Runs the tests matching `filter` in a fresh copy of this process under LANG=pl.
int RunPolishChild(const char* filter) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("LANG", "pl", 1);
        ::unsetenv("LANGUAGE");
        ::unsetenv("LC_ALL");
        ::unsetenv("LC_MESSAGES");
        ::setenv(kChildMarker, "1", 1);
        const std::string arg = std::string("--gtest_filter=") + filter;
        ::execl("/proc/self/exe", "settings_tests", arg.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool InPolishChild() {
    return std::getenv(kChildMarker) != nullptr;
}

QStringList Entries(const QComboBox* combo) {
    QStringList list;
    for (int i = 0; i < combo->count(); ++i)
        list << combo->itemText(i);
    return list;
}

} // namespace

TEST(Translation, PolishWithTheShippedCatalogue) {
    if (InPolishChild()) GTEST_SKIP();
    EXPECT_EQ(RunPolishChild("PolishChild.*"), 0);
}

TEST(PolishChild, AdvancedDialogIsPolishAndItsListsKeepTheirEntries) {
    if (!InPolishChild()) GTEST_SKIP() << "runs under LANG=pl only";
    platform::FakeSerial fake;
    TComPort port;
    port.Parity().SetBits(prEven);
    dlgtest::WhenModalOf<TComSetupFrm>([](TComSetupFrm* dlg) {
        EXPECT_EQ(dlg->windowTitle(), "Ustawienia RS-232");
        EXPECT_EQ(dlg->GroupBox1->title(), " Ustawienia: ");
        EXPECT_EQ(dlg->Label5->text(), "Parzystość:");
        EXPECT_EQ(dlg->sbApply->toolTip(), "Zastosuj ustawienia");
        EXPECT_EQ(Entries(dlg->Combo5), QStringList({"None", "Odd", "Even", "Mark", "Space"}));
        EXPECT_EQ(Entries(dlg->Combo6), QStringList({"Hardware", "Software", "None", "Custom"}));
        EXPECT_EQ(dlg->Combo5->Text(), "Even");
        dlgtest::ExpectLabelsClearOfTheirLists(dlg);
        dlgtest::ChooseEntry(dlg->Combo5, "Odd");
        dlgtest::Click(dlg->sbApply);
    });
    ExecuteComSetup(&port);
    EXPECT_EQ(port.Parity().Bits(), prOdd);
}

TEST(PolishChild, SerialMessagesArePolish) {
    if (!InPolishChild()) GTEST_SKIP() << "runs under LANG=pl only";
    EXPECT_STREQ(EComPort(23, 2).what(), "Błąd odczytu listy portów (kod błędu systemu: 2)");
    EXPECT_STREQ(EComPort(16).what(), "Nie udało się zapisać ustawień");
}

TEST(PolishChild, ExclusionsHoldForOneTranslationAndDataStaysUntouched) {
    if (!InPolishChild()) GTEST_SKIP() << "runs under LANG=pl only";
    QWidget form;
    form.setWindowTitle("Flow control:");
    auto* kept = new QLabel("Parity:", &form);
    kept->setObjectName("kept");
    auto* box = new QGroupBox(" Settings: ", &form);
    box->setObjectName("box");
    auto* inBox = new QLabel("Parity:", box);
    auto* translated = new QLabel("Parity:", &form);
    translated->setToolTip("Apply settings");
    auto* unknown = new QLabel("No such message", &form);
    auto* edit = new QLineEdit("Parity:", &form);
    auto* list = new QComboBox(&form);
    list->addItem("Parity:");
    auto* other = new QDialog(&form);
    other->setWindowTitle("Parity:");

    platform::ExcludeFromTranslation(&form, "kept");
    platform::ExcludeFromTranslation(&form, "box");
    platform::TranslateForm(&form, "cport");
    EXPECT_EQ(form.windowTitle(), "Przepływ:");
    EXPECT_EQ(translated->text(), "Parzystość:");
    EXPECT_EQ(translated->toolTip(), "Zastosuj ustawienia");
    EXPECT_EQ(kept->text(), "Parity:");
    EXPECT_EQ(box->title(), " Settings: ");
    EXPECT_EQ(inBox->text(), "Parity:") << "an excluded widget's children are excluded too";
    EXPECT_EQ(unknown->text(), "No such message");
    EXPECT_EQ(edit->text(), "Parity:");
    EXPECT_EQ(list->itemText(0), "Parity:");
    EXPECT_EQ(other->windowTitle(), "Parity:") << "a window of its own is not part of the form";

    platform::TranslateForm(&form, "cport");
    EXPECT_EQ(kept->text(), "Parzystość:") << "exclusions last one translation";
    EXPECT_EQ(box->title(), " Ustawienia: ");
}

// Pictures of the dialogs for a person to look at:
//   SCALEDB_SCREENSHOT_DIR=/tmp/shots [LANG=pl] settings_tests --gtest_filter=Screenshots.*
TEST(Screenshots, OfTheDialogs) {
    const char* dir = std::getenv("SCALEDB_SCREENSHOT_DIR");
    if (dir == nullptr) GTEST_SKIP() << "SCALEDB_SCREENSHOT_DIR not set";
    const QString prefix = QString(dir) + "/" + (std::getenv("LANG") ? std::getenv("LANG") : "C") + "-";
    platform::FakeSerial fake;
    TComPort port;
    settings::LinkSettings link;
    link.Host = "127.0.0.1";
    link.Port = 1001;
    CreateConnectionForm();
    for (std::uint8_t kind : {KindSerial, KindEthernet}) {
        link.Kind = kind;
        dlgtest::WhenModalOf<TConnectionForm>([&](TConnectionForm* dlg) {
            EXPECT_TRUE(dlg->grab().save(
                prefix + (kind == KindSerial ? "connection-serial.png" : "connection-ethernet.png")));
            dlgtest::CloseBox(dlg);
        });
        ShowConnectionDialog(link, &port, {});
    }
    dlgtest::WhenModalOf<TComSetupFrm>([&](TComSetupFrm* dlg) {
        EXPECT_TRUE(dlg->grab().save(prefix + "advanced.png"));
        dlgtest::CloseBox(dlg);
    });
    ExecuteComSetup(&port);
    DestroyConnectionForm();
}
