// The board of scales: the list file, sending to many scales at once from the
// window, and the history of the board's and the window's own transfers.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTcpServer>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "GuiTestUtil.h"
#include "app/Global.h"
#include "app/ScalesForm.h"
#include "app/okno.h"
#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "scales/History.h"
#include "scales/ScaleList.h"
#include "send/SendProcess.h"
#include "tools/SimProcess.h"

namespace fs = std::filesystem;

namespace {

const std::string kTable = "1001;Apples;2.50\n1002;Pears;3.10\n";
const std::string kWire = "SbP\r\nSr1001;Apples;2.50\r\nSr1002;Pears;3.10\r\nSe\r\n";

class ScalesBoard : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"config.xml", "ComPortTest.ini", "scales"})
            fs::remove(platform::ExeDir() + name);
        for (const char* end : {"", "-wal", "-shm"})
            fs::remove_all(scales::HistoryPath() + end);
        dir = fs::temp_directory_path() / ("scaledb-board-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        table = (dir / "products.csv").string();
        std::ofstream(table, std::ios::binary) << kTable;
    }
    void TearDown() override {
        delete form;
        fs::remove_all(scales::HistoryPath());
        Kind = KindSerial;
        Protocol = ProtocolTCP;
        Host = "192.168.1.100";
        Port = 1001;
        fs::remove_all(dir);
    }
    void Start(const std::string& list) {
        if (!list.empty()) platform::WriteFileAtomically(scales::ScaleListPath(), list);
        form = new TForm1;
        form->show();
    }
    TScalesForm* Board() {
        form->Scales1->trigger();
        return form->ScalesForm();
    }
    QString Cell(int row, int column) { return form->ScalesForm()->GridScales->item(row, column)->text(); }
    std::string ListFile() {
        std::string text;
        platform::ReadWholeFile(scales::ScaleListPath(), text);
        return text;
    }
    // Runs the entry dialog that `open` brings up: `fill` fills it in, then OK.
    std::shared_ptr<QString> Dialog(const std::function<void()>& open,
                                    const std::function<void(TScaleEntryForm*)>& fill,
                                    bool cancelAfter = false) {
        auto error = std::make_shared<QString>();
        gui::WhenModal([=](QWidget* w) {
            auto* dlg = dynamic_cast<TScaleEntryForm*>(w);
            ASSERT_NE(dlg, nullptr);
            fill(dlg);
            dlg->btnOK->click();
            *error = dlg->LabelError->isHidden() ? QString() : dlg->LabelError->text();
            if (cancelAfter && dlg->isVisible()) dlg->reject();
        });
        open();
        return error;
    }
    fs::path dir;
    std::string table;
    TForm1* form = nullptr;
};

std::string Tcp(int port) {
    return "tcp:127.0.0.1:" + std::to_string(port);
}

} // namespace

TEST_F(ScalesBoard, SendsToThreeCheckedScalesAtOnceAndRecordsEachInTheHistory) {
    SimProcess sim;
    sim.Start({"--tcp", "--count", "3", "--log", sim.TempDir() + "/scale%n.log"});
    const auto ports = sim.Ports(3);
    ASSERT_EQ(ports.size(), 3u);
    Start("# the shop\n" + Tcp(ports[0]) + "  Deli counter\n" + Tcp(ports[1]) + "  Bakery\n-" +
          Tcp(ports[2]) + "  Cheese\n");
    TScalesForm* board = Board();
    ASSERT_NE(board, nullptr);
    EXPECT_TRUE(board->isVisible());
    EXPECT_EQ(board->windowTitle(), "Scales");
    EXPECT_EQ(form->Scales1->text(), "Scales…");
    EXPECT_EQ(form->menuBar()->actions().indexOf(form->Scales1),
              form->menuBar()->actions().indexOf(form->Connection1) + 1);
    auto* grid = board->GridScales;
    ASSERT_EQ(grid->rowCount(), 3);
    QStringList headers;
    for (int c = 1; c < grid->columnCount(); ++c)
        headers << grid->horizontalHeaderItem(c)->text();
    EXPECT_EQ(headers, (QStringList{"Name", "Link", "On", "Holds now", "Last result", "Progress", "State"}));
    EXPECT_EQ(Cell(2, TScalesForm::ColName), "Cheese");
    EXPECT_EQ(Cell(2, TScalesForm::ColOn), "off");
    EXPECT_EQ(grid->item(2, TScalesForm::ColCheck)->checkState(), Qt::Unchecked) << "starts as its on/off";
    EXPECT_EQ(Cell(0, TScalesForm::ColHolds), "no complete table recorded");
    EXPECT_FALSE(board->btnSend->isEnabled()) << "no table loaded yet";

    form->LoadFile(table);
    EXPECT_TRUE(board->btnSend->isEnabled());
    grid->item(2, TScalesForm::ColCheck)->setCheckState(Qt::Checked);
    board->btnSend->click();
    EXPECT_TRUE(board->btnStop->isEnabled());
    EXPECT_FALSE(board->btnAdd->isEnabled()) << "no editing while sending";
    EXPECT_FALSE(board->btnSend->isEnabled());
    ASSERT_TRUE(gui::WaitFor([&] { return !board->Sending(); }, 20000));
    for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(Cell(r, TScalesForm::ColState), "sent") << r;
        auto* holds = board->GridScales->item(r, TScalesForm::ColHolds);
        EXPECT_TRUE(holds->text().startsWith("products.csv sha256 ")) << holds->text().toStdString();
        EXPECT_TRUE(holds->toolTip().startsWith(QString::fromStdString(table) + " sha256 "));
        EXPECT_TRUE(Cell(r, TScalesForm::ColLast).startsWith("sent, "));
        std::string log;
        platform::ReadWholeFile(sim.TempDir() + "/scale" + std::to_string(r + 1) + ".log", log);
        EXPECT_EQ(log, kWire) << "byte for byte what the window sends";
    }
    EXPECT_FALSE(board->btnStop->isEnabled());
    EXPECT_TRUE(board->btnAdd->isEnabled());
    // What a scale holds is told per kind of table, the one chosen in the main window.
    form->rgBaza->SetItemIndex(1);
    EXPECT_EQ(Cell(0, TScalesForm::ColHolds), "no complete table recorded");
    form->rgBaza->SetItemIndex(0);
    EXPECT_TRUE(Cell(0, TScalesForm::ColHolds).startsWith("products.csv sha256 "));

    const auto transfers = form->TransferHistory().Transfers();
    ASSERT_EQ(transfers.size(), 3u);
    const auto digest = scales::DigestFile(table);
    ASSERT_TRUE(digest);
    for (const auto& t : transfers) {
        EXPECT_EQ(t.outcome, scales::TransferOutcome::Sent);
        EXPECT_EQ(t.program, "scaledb");
        EXPECT_EQ(t.path, table);
        EXPECT_EQ(t.sha256, digest->sha256);
        EXPECT_EQ(t.rows, 2);
        EXPECT_EQ(t.acknowledged, 2);
        EXPECT_GE(t.ended, t.started);
    }
    EXPECT_EQ(form->TransferHistory().Transfers(Tcp(ports[1])).at(0).name, "Bakery");
}

TEST_F(ScalesBoard, AFailureAndAStopShowPerScaleAndLeaveTheirTablesIncomplete) {
    SimProcess refusing, slow;
    refusing.Start({"--tcp", "--refuse-row", "2"});
    slow.Start({"--tcp", "--delay", "300"});
    Start(Tcp(refusing.Port()) + "  Deli\n" + Tcp(slow.Port()) + "  Bakery\n");
    form->LoadFile(table);
    TScalesForm* board = Board();
    board->btnSend->click();
    ASSERT_TRUE(gui::WaitFor([&] { return Cell(0, TScalesForm::ColState).startsWith("FAILED"); }, 20000));
    EXPECT_TRUE(Cell(0, TScalesForm::ColState).startsWith("FAILED at row 2: \"Mx\" instead of \"Mr\""))
        << Cell(0, TScalesForm::ColState).toStdString();
    EXPECT_TRUE(board->Sending()) << "the slow scale is still being sent to";
    board->btnStop->click();
    ASSERT_TRUE(gui::WaitFor([&] { return !board->Sending(); }));
    EXPECT_TRUE(Cell(1, TScalesForm::ColState).startsWith("stopped at row ")) << Cell(1, 7).toStdString();
    for (int r = 0; r < 2; ++r)
        EXPECT_TRUE(Cell(r, TScalesForm::ColHolds).startsWith("INCOMPLETE since ")) << r;
    EXPECT_TRUE(Cell(0, TScalesForm::ColLast).startsWith("failed at row 2, "));
    const auto stopped = form->TransferHistory().Transfers(Tcp(slow.Port())).at(0);
    EXPECT_EQ(stopped.outcome, scales::TransferOutcome::Stopped);
    EXPECT_EQ(stopped.message, "stopped by the user");
}

TEST_F(ScalesBoard, AddEditAndRemoveWriteTheListAndKeepItsComments) {
    Start("# Shop 12\ntcp:127.0.0.1:4001  Deli\n");
    TScalesForm* board = Board();
    auto bad = Dialog([&] { board->btnAdd->click(); },
                      [](TScaleEntryForm* d) { d->EditLink->setText("tcp:nowhere"); }, true);
    EXPECT_TRUE(bad->startsWith("bad target \"tcp:nowhere\"")) << bad->toStdString();
    EXPECT_EQ(ListFile(), "# Shop 12\ntcp:127.0.0.1:4001  Deli\n") << "a refused entry writes nothing";

    Dialog([&] { board->btnAdd->click(); },
           [](TScaleEntryForm* d) {
               d->EditName->setText("Bakery");
               d->EditLink->setText("tcp:127.0.0.1:4002");
               d->CheckOn->setChecked(false);
           });
    EXPECT_EQ(ListFile(), "# Shop 12\ntcp:127.0.0.1:4001  Deli\n-tcp:127.0.0.1:4002  Bakery\n");
    ASSERT_EQ(board->GridScales->rowCount(), 2);
    EXPECT_EQ(board->GridScales->item(1, TScalesForm::ColCheck)->checkState(), Qt::Unchecked);

    board->GridScales->selectRow(0);
    Dialog([&] { board->btnEdit->click(); },
           [](TScaleEntryForm* d) { d->EditName->setText("Deli counter"); });
    EXPECT_EQ(ListFile(), "# Shop 12\ntcp:127.0.0.1:4001  Deli counter\n-tcp:127.0.0.1:4002  Bakery\n");

    board->GridScales->selectRow(1);
    board->btnRemove->click();
    EXPECT_EQ(ListFile(), "# Shop 12\ntcp:127.0.0.1:4001  Deli counter\n");
    EXPECT_EQ(board->GridScales->rowCount(), 1);
    EXPECT_EQ(Cell(0, TScalesForm::ColName), "Deli counter");
}

TEST_F(ScalesBoard, BadLinesAndAnUnusableHistoryAreShownOnceAndNeverStopASend) {
    SimProcess sim;
    sim.Start({"--tcp"});
    fs::create_directories(scales::HistoryPath()); // a folder takes no database
    Start(Tcp(sim.Port()) + "  Deli\nnonsense here\n");
    form->LoadFile(table);
    TScalesForm* board = Board();
    const QString problems = board->LabelProblems->text();
    EXPECT_TRUE(board->LabelProblems->isVisible());
    EXPECT_TRUE(problems.contains(":2: ")) << problems.toStdString();
    EXPECT_TRUE(problems.contains("history")) << problems.toStdString();
    EXPECT_EQ(board->GridScales->rowCount(), 1);
    board->btnSend->click();
    ASSERT_TRUE(gui::WaitFor([&] { return !board->Sending(); }, 20000));
    EXPECT_EQ(Cell(0, TScalesForm::ColState), "sent");
    EXPECT_EQ(board->LabelProblems->text().count("history"), problems.count("history"));
}

TEST_F(ScalesBoard, TheWindowsOwnTransferIsRecordedUnderItsLinkAndTheListsName) {
    SimProcess sim;
    sim.Start({"--tcp"});
    Start(Tcp(sim.Port()) + "  Deli counter\n");
    Kind = KindEthernet;
    Protocol = ProtocolTCP;
    Host = "127.0.0.1";
    Port = sim.Port();
    form->LoadFile(table);
    // Rewritten after loading (the night's export): the grid still holds what was loaded.
    std::ofstream(table, std::ios::binary | std::ios::trunc) << "9;rewritten\n";
    form->btnOpenPort->click();
    ASSERT_TRUE(gui::WaitFor([&] { return form->btnOpenPort->text() == "Disconnect"; }));
    auto box = gui::ExpectMessageBox(10000);
    form->bbWyslijBaze->click();
    ASSERT_TRUE(gui::WaitFor([&] { return box->seen; }, 10000));
    EXPECT_EQ(box->text, "Database was sent to scale.");
    // Stopped by the user at once, the next one.
    form->bbWyslijBaze->click();
    form->bbWyslijBaze->click();
    const auto transfers = form->TransferHistory().Transfers(Tcp(sim.Port()));
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[1].outcome, scales::TransferOutcome::Sent);
    EXPECT_EQ(transfers[1].name, "Deli counter");
    EXPECT_EQ(transfers[1].program, "scaledb");
    EXPECT_EQ(transfers[1].rows, 2);
    EXPECT_EQ(transfers[1].sha256, scales::DigestBytes(kTable).sha256);
    EXPECT_EQ(transfers[0].outcome, scales::TransferOutcome::Stopped);
    EXPECT_EQ(transfers[0].row, 0);
    // "SbP" had gone out: the scale may have begun replacing its table.
    EXPECT_TRUE(transfers[0].LeftIncomplete());
}

// One outcome, one row: the window, the board and scaledb-send record a table
// sent to one scale alike, with the list's name however the link is spelled.
TEST_F(ScalesBoard, TheWindowTheBoardAndTheCommandRecordOneOutcomeAlike) {
    SimProcess sim;
    sim.Start({"--tcp"});
    Start(Tcp(sim.Port()) + "  Deli counter\n");
    form->LoadFile(table);

    // The window, over its own link.
    Kind = KindEthernet;
    Protocol = ProtocolTCP;
    Host = "127.0.0.1";
    Port = sim.Port();
    form->btnOpenPort->click();
    ASSERT_TRUE(gui::WaitFor([&] { return form->btnOpenPort->text() == "Disconnect"; }));
    auto box = gui::ExpectMessageBox(10000);
    form->bbWyslijBaze->click();
    ASSERT_TRUE(gui::WaitFor([&] { return box->seen; }, 10000));
    form->btnOpenPort->click();
    ASSERT_TRUE(gui::WaitFor([&] { return form->btnOpenPort->text() == "Connect"; }));

    // The board, to the same scale from the list.
    TScalesForm* board = Board();
    board->btnSend->click();
    ASSERT_TRUE(gui::WaitFor([&] { return !board->Sending(); }, 20000));
    EXPECT_EQ(Cell(0, TScalesForm::ColState), "sent");

    // The command, with the port spelled otherwise: still the list's scale.
    const std::string program = platform::ExeDir() + "scaledb-send";
    fs::remove(program);
    fs::copy_file(SCALEDB_BIN_DIR "/scaledb-send", program);
    SendProcess send(dir.string(), program);
    EXPECT_EQ(send.Run({table, "tcp:127.0.0.1:0" + std::to_string(sim.Port())}), 0) << send.Err();
    fs::remove(program);

    const auto rows = form->TransferHistory().Transfers(Tcp(sim.Port()));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].program, "scaledb-send");
    EXPECT_EQ(rows[1].program, "scaledb");
    EXPECT_EQ(rows[2].program, "scaledb");
    const scales::TransferRecord& window = rows[2];
    EXPECT_EQ(window.name, "Deli counter");
    EXPECT_EQ(window.outcome, scales::TransferOutcome::Sent);
    EXPECT_EQ(window.row, 3);
    for (const scales::TransferRecord& r : {rows[0], rows[1]}) {
        SCOPED_TRACE(r.program);
        EXPECT_EQ(r.target, window.target);
        EXPECT_EQ(r.name, window.name);
        EXPECT_EQ(r.path, window.path);
        EXPECT_EQ(r.size, window.size);
        EXPECT_EQ(r.sha256, window.sha256);
        EXPECT_EQ(r.rows, window.rows);
        EXPECT_EQ(r.kind, window.kind);
        EXPECT_EQ(r.outcome, window.outcome);
        EXPECT_EQ(r.row, window.row);
        EXPECT_EQ(r.acknowledged, window.acknowledged);
        EXPECT_EQ(r.startSent, window.startSent);
        EXPECT_EQ(r.resends, window.resends);
        EXPECT_EQ(r.message, window.message);
        EXPECT_GE(r.ended, r.started);
    }
}

// A scale's pace is set in its dialog, kept on its line, shown again when edited, and
// its scale is sent to at it; a scale left at 100 keeps the line older lists have.
TEST_F(ScalesBoard, APaceSetInTheDialogIsKeptWithItsScaleAndTheBoardSendsAtIt) {
    SimProcess sim;
    sim.Start({"--tcp", "--count", "2", "--log", sim.TempDir() + "/scale%n.log"});
    const auto ports = sim.Ports(2);
    ASSERT_EQ(ports.size(), 2u);
    Start("# the shop\n" + Tcp(ports[0]) + "  Deli\n" + Tcp(ports[1]) + "  Bakery\n");
    TScalesForm* board = Board();
    board->GridScales->selectRow(0);
    Dialog([&] { board->btnEdit->click(); },
           [](TScaleEntryForm* d) {
               EXPECT_EQ(d->SpinPace->value(), 100);
               d->SpinPace->setValue(0);
           });
    EXPECT_EQ(ListFile(), "# the shop\n" + Tcp(ports[0]) + " pace=0  Deli\n" + Tcp(ports[1]) + "  Bakery\n");
    board->GridScales->selectRow(0);
    Dialog([&] { board->btnEdit->click(); }, [](TScaleEntryForm* d) { EXPECT_EQ(d->SpinPace->value(), 0); });

    form->LoadFile(table);
    board->btnSend->click();
    ASSERT_TRUE(gui::WaitFor([&] { return !board->Sending(); }, 20000));
    EXPECT_EQ(Cell(0, TScalesForm::ColState), "sent");
    EXPECT_EQ(Cell(1, TScalesForm::ColState), "sent");
    for (int i : {1, 2}) {
        std::string log;
        platform::ReadWholeFile(sim.TempDir() + "/scale" + std::to_string(i) + ".log", log);
        EXPECT_EQ(log, kWire) << i;
    }
}
