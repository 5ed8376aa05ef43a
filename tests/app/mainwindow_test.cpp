#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "GuiTestUtil.h"
#include "app/CrashReporter.h"
#include "app/Global.h"
#include "app/ProcessData.h"
#include "app/okno.h"
#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace fs = std::filesystem;

namespace {

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        // Each test starts as a first run: no settings files beside the executable.
        fs::remove(platform::ExeDir() + "config.xml");
        fs::remove(platform::ExeDir() + "ComPortTest.ini");
        dir = fs::temp_directory_path() / ("scaledb-mw-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        form = new TForm1;
    }
    void TearDown() override {
        delete form;
        fs::remove_all(dir);
    }
    std::string Write(const std::string& name, const std::string& contents) {
        const fs::path p = dir / name;
        std::ofstream(p, std::ios::binary) << contents;
        return p.string();
    }
    // Opens a file through File > Open, typing its name into the dialog.
    void OpenThroughDialog(const std::string& path) {
        gui::WhenModal([path](QWidget* w) {
            auto* dlg = qobject_cast<QFileDialog*>(w);
            ASSERT_NE(dlg, nullptr);
            auto* edit = dlg->findChild<QLineEdit*>("fileNameEdit");
            ASSERT_NE(edit, nullptr);
            // A person types once the dialog has the focus; before that the
            // name typed does not replace the last file chosen.
            ASSERT_TRUE(QTest::qWaitForWindowActive(dlg));
            edit->setText(QString::fromStdString(path));
            QTest::keyClick(edit, Qt::Key_Return);
        });
        form->Otwrz1->trigger();
    }
    fs::path dir;
    TForm1* form = nullptr;
};

QColor LabelColour(QLabel* l) {
    return l->palette().color(QPalette::WindowText);
}

} // namespace

TEST_F(MainWindow, StartsWithTheDesignedLayout) {
    EXPECT_EQ(form->windowTitle(), " Scale database v1.01");
    EXPECT_EQ(form->StringGrid1->RowCount(), 5);
    EXPECT_EQ(form->StringGrid1->ColCount(), 5);
    EXPECT_EQ(form->StringGrid1->rowHeight(0), 20);
    EXPECT_EQ(form->StringGrid1->columnWidth(0), 64);
    EXPECT_EQ(form->StringGrid1->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(form->Panel1->height(), 81);
    EXPECT_EQ(form->btnOpenPort->text(), "Connect");
    EXPECT_EQ(form->btnOpenPort->geometry(), QRect(11, 12, 78, 25));
    EXPECT_EQ(form->bbWyslijBaze->text(), "Send database");
    EXPECT_EQ(form->bbWyslijBaze->geometry(), QRect(96, 12, 89, 25));
    EXPECT_EQ(form->rgBaza->title(), " Database kind: ");
    EXPECT_EQ(form->rgBaza->ItemIndex(), 0);
    EXPECT_EQ(form->rgBaza->Item(1)->text(), "user database");
    EXPECT_TRUE(form->LabelConnection->font().bold());
    EXPECT_EQ(form->Otwrz1->text(), "Open");
    EXPECT_EQ(form->Otwrz1->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
    EXPECT_EQ(form->Connection1->menu(), nullptr);
    EXPECT_EQ(form->OpenDialog1->nameFilters(), (QStringList{"csv files (*.csv)", "all files (*)"}));
    EXPECT_FALSE(form->TimerBazaActive());
    EXPECT_TRUE(form->ProgressSend->isHidden());
    // First run: the link settings' defaults.
    EXPECT_EQ(Kind, 0);
    EXPECT_EQ(Host, "192.168.1.100");
    EXPECT_EQ(Port, 1001);
}

TEST_F(MainWindow, ActivationMaximisesAndShowsTheSerialLinkInRed) {
    form->show();
    form->activateWindow();
    ASSERT_TRUE(gui::WaitFor([&] { return !form->LabelConnection->text().isEmpty(); }));
    EXPECT_TRUE(form->windowState() & Qt::WindowMaximized);
    EXPECT_EQ(form->LabelConnection->text(), "COM1 9600bps disconnected");
    EXPECT_EQ(LabelColour(form->LabelConnection), QColor(255, 0, 0));
    EXPECT_EQ(form->btnOpenPort->text(), "Connect");
}

TEST_F(MainWindow, MaximisedAgainAfterItsOwnDialogsOnlyNotAfterAnotherWindow) {
    form->show();
    ASSERT_TRUE(gui::WaitFor([&] { return QApplication::activeWindow() == form; }));
    form->showNormal();
    ASSERT_TRUE(gui::WaitFor([&] { return !(form->windowState() & Qt::WindowMaximized); }));
    // The user goes to another window and comes back.
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(gui::WaitFor([&] { return QApplication::activeWindow() == &other; }));
    form->activateWindow();
    ASSERT_TRUE(gui::WaitFor([&] { return QApplication::activeWindow() == form; }));
    QApplication::processEvents();
    EXPECT_FALSE(form->windowState() & Qt::WindowMaximized) << "the smaller window stays so";
    // One of the program's own modal dialogs closes and the window manager
    // hands activation back to the main window.
    gui::WhenModal([](QWidget* w) { qobject_cast<QDialog*>(w)->reject(); });
    form->Otwrz1->trigger();
    form->activateWindow();
    EXPECT_TRUE(gui::WaitFor([&] { return bool(form->windowState() & Qt::WindowMaximized); }));
}

TEST_F(MainWindow, TheStateLabelLeavesTheDatabaseKindChoiceFree) {
    form->ComPort1.SetPort("/dev/ttyUSB0");
    form->ComPort1.SetBaudRate(br115200);
    form->show();
    const QString whole = "/dev/ttyUSB0 115200bps disconnected";
    EXPECT_EQ(form->LabelConnection->text(), whole);
    EXPECT_LT(form->LabelConnection->geometry().right(), form->rgBaza->x());
    EXPECT_EQ(form->LabelConnection->toolTip(), whole);
    // The second indicator is the user's to click.
    QRadioButton* user = form->rgBaza->Item(1);
    const QPoint indicator = user->mapTo(form->Panel1, QPoint(6, user->height() / 2));
    EXPECT_EQ(form->Panel1->childAt(indicator), user);
    EXPECT_TRUE(form->LabelConnection->ShownText().endsWith("115200bps disconnected"));
    EXPECT_TRUE(form->LabelConnection->ShownText().startsWith("/"));
    EXPECT_TRUE(form->LabelConnection->ShownText().contains(QChar(0x2026)));

    // A text that fits is shown whole, without a tooltip.
    form->ComPort1.SetPort("COM1");
    form->ComPort1.SetBaudRate(br9600);
    form->ShowConnectionState();
    EXPECT_EQ(form->LabelConnection->ShownText(), "COM1 9600bps disconnected");
    EXPECT_EQ(form->LabelConnection->width(), form->LabelConnection->sizeHint().width());
    EXPECT_TRUE(form->LabelConnection->toolTip().isEmpty());
}

TEST_F(MainWindow, FileOpenLoadsTheTableAndReplacesTheLastOne) {
    form->show();
    OpenThroughDialog(Write("wide.csv", "a;b;c;d\n1\n2\n3\n4\n5\n6\n"));
    ASSERT_EQ(form->StringGrid1->RowCount(), 7);
    EXPECT_EQ(form->StringGrid1->ColCount(), 4);
    OpenThroughDialog(Write("small.csv", "x;y\n\nz\n"));
    EXPECT_EQ(form->StringGrid1->RowCount(), 2);
    EXPECT_EQ(form->StringGrid1->ColCount(), 2);
    EXPECT_EQ(form->StringGrid1->Cells(0, 1), "z");
    EXPECT_EQ(form->StringGrid1->Cells(1, 1), "");
    auto idx = form->StringGrid1->model()->index(0, 1);
    EXPECT_EQ(idx.data().toString(), "y");
}

TEST_F(MainWindow, FileDialogListsTheFilterNamesAndKeepsThePatterns) {
    Write("table.csv", "1;a\n");
    Write("notes.txt", "x\n");
    form->show();
    QStringList shown, listed;
    const fs::path folder = dir;
    gui::WhenModal([&](QWidget* w) {
        auto* dlg = qobject_cast<QFileDialog*>(w);
        ASSERT_NE(dlg, nullptr);
        auto* types = dlg->findChild<QComboBox*>("fileTypeCombo");
        ASSERT_NE(types, nullptr);
        for (int i = 0; i < types->count(); ++i)
            shown << types->itemText(i);
        dlg->setDirectory(QString::fromStdString(folder.string()));
        auto* view = dlg->findChild<QListView*>("listView");
        ASSERT_NE(view, nullptr);
        gui::WaitFor([&] { return view->model()->rowCount(view->rootIndex()) > 0; });
        for (int r = 0; r < view->model()->rowCount(view->rootIndex()); ++r)
            listed << view->model()->index(r, 0, view->rootIndex()).data().toString();
        dlg->reject();
    });
    form->Otwrz1->trigger();
    EXPECT_EQ(shown, (QStringList{"csv files", "all files"}));
    EXPECT_EQ(listed, QStringList{"table.csv"});
}

TEST_F(MainWindow, GridShowsUtf8AsTextAndOtherBytesOneCharacterEach) {
    form->LoadFile(Write("bytes.csv", "Z\xc5\xbc\xc3\xb3\xc5\x82w;\xb1\xe6\n"));
    auto* model = form->StringGrid1->model();
    EXPECT_EQ(model->index(0, 0).data().toString(), QString::fromUtf8("Zżółw"));
    EXPECT_EQ(model->index(0, 1).data().toString(), QString::fromLatin1("\xb1\xe6"));
    EXPECT_EQ(form->StringGrid1->Cells(1, 0), "\xb1\xe6");
}

TEST_F(MainWindow, BytesThatAreNotUtf8ShowInTheCodePageOfTheLanguage) {
    EXPECT_STREQ(platform::LegacyCodePage("pl_PL.UTF-8"), "windows-1250");
    EXPECT_STREQ(platform::LegacyCodePage("hr"), "windows-1250");
    EXPECT_STREQ(platform::LegacyCodePage("sr_RS@latin"), "windows-1252");
    EXPECT_STREQ(platform::LegacyCodePage("uk_UA"), "windows-1251");
    EXPECT_STREQ(platform::LegacyCodePage("de_DE.ISO-8859-1"), "windows-1252");
    EXPECT_STREQ(platform::LegacyCodePage("C"), "windows-1252");

    const std::string cheese = "1;\xaf\xf3\xb3ty ser;2.50";
    form->StringGrid1->Model()->SetLegacyCodePage("windows-1250");
    form->LoadFile(Write("pl.csv", cheese + "\n2;Zielony \xc5\xbc\n"));
    auto* model = form->StringGrid1->model();
    EXPECT_EQ(model->index(0, 1).data().toString(), QString::fromUtf8("Żółty ser"));
    EXPECT_EQ(model->index(1, 1).data().toString(), QString::fromUtf8("Zielony ż")) << "UTF-8 stays UTF-8";
    EXPECT_EQ(form->StringGrid1->RecordText(0), cheese) << "the bytes are kept";
    form->StringGrid1->Model()->SetLegacyCodePage("windows-1251");
    EXPECT_EQ(model->index(0, 1).data().toString(), QString::fromUtf8("Їуіty ser"));
}

TEST_F(MainWindow, AFailedLoadKeepsThePreviousTable) {
    form->LoadFile(Write("good.csv", "1001;Apples;2.50\n1002;Pears;3.10\n"));
    const fs::path unreadable = dir / "folder.csv";
    fs::create_directories(unreadable);
    EXPECT_THROW(form->LoadFile(unreadable.string()), EInOutError);
    EXPECT_EQ(form->StringGrid1->RowCount(), 2);
    EXPECT_EQ(form->StringGrid1->RecordText(1), "1002;Pears;3.10");
}

TEST_F(MainWindow, AFileThatCannotBeOpenedReachesTheCrashReporter) {
    form->show();
    const std::string logPath = platform::ExeDir() + crash::LogFileName;
    fs::remove(logPath);
    struct Seen {
        QString text, details;
        bool hasEnd = false, hasRestart = false;
    };
    auto seen = std::make_shared<Seen>();
    const std::string missing = (dir / "no-such-file.csv").string();
    // The file dialog first, then the error box it leads to.
    gui::WhenModal([missing, seen](QWidget* w) {
        auto* dlg = qobject_cast<QFileDialog*>(w);
        ASSERT_NE(dlg, nullptr);
        gui::WhenModal([seen](QWidget* box) {
            auto* mb = qobject_cast<QMessageBox*>(box);
            ASSERT_NE(mb, nullptr);
            seen->text = mb->text();
            seen->details = mb->detailedText();
            QAbstractButton* end = nullptr;
            for (auto* b : mb->buttons()) {
                if (b->text() == "End program") {
                    seen->hasEnd = true;
                    end = b;
                }
                if (b->text() == "Restart program") seen->hasRestart = true;
            }
            if (end) end->click();
        });
        auto* edit = dlg->findChild<QLineEdit*>("fileNameEdit");
        edit->setText(QString::fromStdString(missing));
        QTest::keyClick(edit, Qt::Key_Return);
    });
    form->Otwrz1->trigger();
    ASSERT_TRUE(gui::WaitFor([&] { return seen->hasEnd; }));
    EXPECT_TRUE(seen->text.contains("no-such-file.csv"));
    EXPECT_TRUE(seen->hasRestart);
    EXPECT_TRUE(seen->details.contains("EInOutError"));
    EXPECT_TRUE(seen->details.contains("Program: Scale database 1.01"));
    EXPECT_TRUE(seen->details.contains("Call stack"));
    std::ifstream in(logPath);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(all.find("EInOutError"), std::string::npos);
    EXPECT_NE(all.find("no-such-file.csv"), std::string::npos);
    // "End program" closes the window in an orderly way.
    EXPECT_TRUE(gui::WaitFor([&] { return !form->isVisible(); }));
    EXPECT_EQ(form->StringGrid1->RowCount(), 5);
    // The program's exit request outlives this test; one pass of the main loop
    // consumes it, so later tests in this process still get their modal loops.
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QApplication::exec();
}

TEST_F(MainWindow, AFirstRunWritesBothSettingsFilesAtClose) {
    form->show();
    form->close();
    std::string ini, xml;
    ASSERT_TRUE(platform::ReadWholeFile(platform::ExeDir() + "ComPortTest.ini", ini));
    EXPECT_EQ(
        ini, "[ComPort1]\nPort=COM1\nBaudRate=9600\nStopBits=1\nDataBits=8\nParity=None\nFlowControl=None\n");
    ASSERT_TRUE(platform::ReadWholeFile(platform::ExeDir() + "config.xml", xml));
    const std::string exeDir = platform::ExeDir();
    EXPECT_NE(xml.find("<TesmarConfig><Options><OrdersFileName>" + exeDir +
                       "orders.xml</OrdersFileName><WindRow>No</WindRow><WindRowMode>0</WindRowMode>"
                       "<WindRowChar>$00</WindRowChar><SaveASCII>Yes</SaveASCII><InsertTime>No</InsertTime>"
                       "<ChangePointToColon>No</ChangePointToColon></Options><Interface><Kind>COM</Kind>"
                       "<Protocol>TCP</Protocol><Host>192.168.1.100</Host><Port>1001</Port></Interface>"
                       "</TesmarConfig>"),
              std::string::npos)
        << xml;
}

TEST_F(MainWindow, SettingsFromTheFilesAreInForceAtTheNextStart) {
    platform::WriteFileAtomically(platform::ExeDir() + "ComPortTest.ini",
                                  "; kept\n[ComPort1]\nPort=COM2\nBaudRate=Custom\nCustomBaudRate=250000\n");
    delete form;
    form = new TForm1;
    form->show();
    EXPECT_EQ(form->ComPort1.Port(), "COM2");
    EXPECT_EQ(form->ComPort1.BaudRate(), brCustom);
    EXPECT_EQ(form->LabelConnection->text(), "COM2 user definedbps disconnected");
    form->close();
    std::string ini;
    ASSERT_TRUE(platform::ReadWholeFile(platform::ExeDir() + "ComPortTest.ini", ini));
    EXPECT_EQ(ini.rfind("; kept\n[ComPort1]\nPort=COM2\nBaudRate=Custom\nCustomBaudRate=250000\n", 0), 0u)
        << ini;
}
