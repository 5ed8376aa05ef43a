// The board of scales: the list file, sending to many scales at once from the
// window, and the history of the board's and the window's own transfers.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTableWidget>
#include <QTcpServer>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "GuiTestUtil.h"
#include "app/BoardSend.h"
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
        EXPECT_TRUE(holds->text().startsWith("products: products.csv sha256 "))
            << holds->text().toStdString();
        EXPECT_TRUE(holds->text().endsWith("\nusers: no complete table recorded"))
            << holds->text().toStdString();
        EXPECT_TRUE(holds->toolTip().startsWith("products: " + QString::fromStdString(table) + " sha256 "));
        EXPECT_TRUE(Cell(r, TScalesForm::ColLast).startsWith("products: sent, "));
        std::string log;
        platform::ReadWholeFile(sim.TempDir() + "/scale" + std::to_string(r + 1) + ".log", log);
        EXPECT_EQ(log, kWire) << "byte for byte what the window sends";
    }
    EXPECT_FALSE(board->btnStop->isEnabled());
    EXPECT_TRUE(board->btnAdd->isEnabled());
    EXPECT_EQ(board->LabelSummary->text(), "3 of 3 sent");

    // The scale holds both kinds of table, each named, whichever kind the main window has chosen.
    const QString products = Cell(0, TScalesForm::ColHolds).section('\n', 0, 0);
    form->rgBaza->SetItemIndex(1);
    board->GridScales->item(1, TScalesForm::ColCheck)->setCheckState(Qt::Unchecked);
    board->GridScales->item(2, TScalesForm::ColCheck)->setCheckState(Qt::Unchecked);
    board->btnSend->click();
    ASSERT_TRUE(gui::WaitFor([&] { return !board->Sending(); }, 20000));
    EXPECT_EQ(Cell(0, TScalesForm::ColHolds).section('\n', 0, 0), products);
    EXPECT_TRUE(Cell(0, TScalesForm::ColHolds).section('\n', 1).startsWith("users: products.csv sha256 "))
        << Cell(0, TScalesForm::ColHolds).toStdString();
    EXPECT_TRUE(Cell(0, TScalesForm::ColLast).contains("\nusers: sent, "));
    form->rgBaza->SetItemIndex(0);
    EXPECT_EQ(Cell(0, TScalesForm::ColHolds).section('\n', 0, 0), products);
    EXPECT_TRUE(Cell(1, TScalesForm::ColHolds).endsWith("\nusers: no complete table recorded"));

    const auto transfers = form->TransferHistory().Transfers();
    ASSERT_EQ(transfers.size(), 4u);
    EXPECT_EQ(transfers[0].kind, scales::TableKind::User);
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
    // The failed scale's row is told at once, not once the others are done.
    EXPECT_TRUE(Cell(0, TScalesForm::ColHolds).startsWith("products: INCOMPLETE since "))
        << Cell(0, TScalesForm::ColHolds).toStdString();
    EXPECT_TRUE(Cell(0, TScalesForm::ColLast).startsWith("products: failed at row 2, "));
    EXPECT_EQ(board->LabelSummary->text(), "0 of 2 sent, 1 failed, 1 still sending");
    EXPECT_EQ(form->btnBoardSending->text(), "Sending to 1 scale…");
    // A failure's reason is never cut: its row grows as its cell narrows.
    board->resize(700, board->height());
    ASSERT_TRUE(gui::WaitFor([&] { return board->GridScales->columnWidth(TScalesForm::ColState) < 250; }));
    const QString reason = Cell(0, TScalesForm::ColState);
    const QFontMetrics fm = board->GridScales->fontMetrics();
    const int lines =
        fm.horizontalAdvance(reason) / board->GridScales->columnWidth(TScalesForm::ColState) + 1;
    EXPECT_GE(lines, 3);
    EXPECT_GE(board->GridScales->rowHeight(0), lines * fm.lineSpacing());
    board->btnStop->click();
    ASSERT_TRUE(gui::WaitFor([&] { return !board->Sending(); }));
    EXPECT_EQ(board->LabelSummary->text(), "0 of 2 sent, 1 failed, 1 stopped");
    EXPECT_TRUE(form->btnBoardSending->isHidden());
    EXPECT_TRUE(Cell(1, TScalesForm::ColState).startsWith("stopped at row ")) << Cell(1, 7).toStdString();
    for (int r = 0; r < 2; ++r)
        EXPECT_TRUE(Cell(r, TScalesForm::ColHolds).startsWith("products: INCOMPLETE since ")) << r;
    EXPECT_TRUE(Cell(0, TScalesForm::ColLast).startsWith("products: failed at row 2, "));
    // A scale left out of the next send shows nothing of this one.
    board->GridScales->item(1, TScalesForm::ColCheck)->setCheckState(Qt::Unchecked);
    EXPECT_FALSE(board->GridScales->item(1, TScalesForm::ColProgress)->data(Qt::UserRole + 1).isValid());
    EXPECT_EQ(Cell(1, TScalesForm::ColState), "");
    EXPECT_EQ(Cell(0, TScalesForm::ColState).left(6), "FAILED") << "a scale still checked keeps it";
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

TEST_F(ScalesBoard, TheEntryDialogRefusesWhatCouldNotBeSentAndKeepsAHashInAName) {
    Start("# Shop 12\ntcp:127.0.0.1:4001  Deli\nnonsense here\ntcp:127.0.0.1:4003  Fish\n");
    TScalesForm* board = Board();
    EXPECT_TRUE(board->LabelProblems->text().contains(":3: ")) << board->LabelProblems->text().toStdString();
    const std::string before = ListFile();
    // One scale under another spelling, and a UDP scale that no answer could reach.
    auto same = Dialog(
        [&] { board->btnAdd->click(); },
        [](TScaleEntryForm* d) {
            EXPECT_EQ(d->focusWidget(), d->EditName) << "the first field";
            const QString example = d->EditLink->placeholderText();
            EXPECT_GE(d->EditLink->minimumWidth(), d->EditLink->fontMetrics().horizontalAdvance(example))
                << "the example is not cut";
            d->EditLink->setText("tcp:localhost:04001");
        },
        true);
    EXPECT_EQ(
        *same,
        "tcp:localhost:04001 is the same scale as tcp:127.0.0.1:4001 (127.0.0.1:4001), already on line 2");
    auto v6 = Dialog([&] { board->btnAdd->click(); },
                     [](TScaleEntryForm* d) { d->EditLink->setText("udp:[::1]:4001"); }, true);
    EXPECT_TRUE(v6->startsWith("::1 is an IPv6 address, and UDP scales are reached over IPv4"))
        << v6->toStdString();
    // Editing Fish into Deli's scale is refused too; keeping its own link is not.
    board->GridScales->selectRow(1);
    auto edited = Dialog([&] { board->btnEdit->click(); },
                         [](TScaleEntryForm* d) { d->EditLink->setText("tcp:LOCALHOST:4001"); }, true);
    EXPECT_TRUE(edited->startsWith("tcp:LOCALHOST:4001 is the same scale as tcp:127.0.0.1:4001"))
        << edited->toStdString();
    EXPECT_EQ(ListFile(), before);

    // A "#" after the target is part of the name: only a line that begins with one is a comment.
    Dialog([&] { board->btnAdd->click(); },
           [](TScaleEntryForm* d) {
               EXPECT_TRUE(d->LabelHint->text().contains("only a line that begins with # is a comment"));
               d->EditName->setText("Till # 2");
               d->EditLink->setText("tcp:127.0.0.1:4002");
           });
    EXPECT_EQ(ListFile(), before + "tcp:127.0.0.1:4002  Till # 2\n");
    EXPECT_EQ(Cell(2, TScalesForm::ColName), "Till # 2");

    // The bad line moves up with the lines before it, and its warning says where it is now.
    board->GridScales->selectRow(0);
    board->btnRemove->click();
    EXPECT_TRUE(board->LabelProblems->text().contains(":2: ")) << board->LabelProblems->text().toStdString();
    EXPECT_FALSE(board->LabelProblems->text().contains(":3: "));
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

// The board's transfers outlive its window; the main window says they run and
// asks before its close would cut them. Its own transfer's close asks nothing.
TEST_F(ScalesBoard, ClosingTheBoardKeepsSendingAndClosingTheWindowAsksFirst) {
    SimProcess slow;
    slow.Start({"--tcp", "--count", "2", "--delay", "300"});
    const auto ports = slow.Ports(2);
    ASSERT_EQ(ports.size(), 2u);
    Start(Tcp(ports[0]) + "  Deli\n" + Tcp(ports[1]) + "  Bakery\n");
    form->LoadFile(table);
    TScalesForm* board = Board();
    EXPECT_TRUE(form->btnBoardSending->isHidden());
    board->btnSend->click();
    board->close();
    EXPECT_TRUE(board->Sending());
    ASSERT_TRUE(gui::WaitFor([&] { return form->btnBoardSending->isVisible(); }));
    EXPECT_EQ(form->btnBoardSending->text(), "Sending to 2 scales…");
    form->btnBoardSending->click();
    EXPECT_TRUE(board->isVisible());

    auto answer = [](const QString& button, std::shared_ptr<QString> text) {
        gui::WhenModal([=](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            ASSERT_NE(box, nullptr);
            *text = box->text();
            for (QAbstractButton* b : box->buttons())
                if (b->text() == button) b->click();
        });
    };
    auto text = std::make_shared<QString>();
    answer("Keep sending", text);
    EXPECT_FALSE(form->close());
    EXPECT_EQ(*text, "2 scales are receiving a table. Closing stops them and leaves them incomplete.");
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->Closing());
    EXPECT_TRUE(board->Sending());

    answer("Stop and close", text);
    EXPECT_TRUE(form->close());
    EXPECT_TRUE(form->Closing());
    delete form;
    form = nullptr;
    scales::History history;
    history.Open(scales::HistoryPath());
    const auto transfers = history.Transfers();
    ASSERT_EQ(transfers.size(), 2u);
    for (const auto& t : transfers) {
        EXPECT_EQ(t.outcome, scales::TransferOutcome::Stopped);
        EXPECT_EQ(t.message, "the window was closed");
    }
}

// A scale the main window is connected to answers the window only: the board
// says so at once rather than waiting for a reply that cannot come.
TEST_F(ScalesBoard, AScaleTheWindowsOwnLinkHoldsFailsAtOnceSayingSo) {
    SimProcess tcp, other, serial;
    tcp.Start({"--tcp"});
    other.Start({"--tcp"});
    serial.Start({"--serial"});
    // Spelled otherwise than the window's link: the same scale all the same.
    Start("tcp:localhost:" + std::to_string(tcp.Port()) + "  Deli\n" + Tcp(other.Port()) +
          "  Bakery\nserial:" + serial.PortText() + "@9600  Cheese\n");
    form->LoadFile(table);
    Kind = KindEthernet;
    Protocol = ProtocolTCP;
    Host = "127.0.0.1";
    Port = tcp.Port();
    form->btnOpenPort->click();
    ASSERT_TRUE(gui::WaitFor([&] { return form->btnOpenPort->text() == "Disconnect"; }));
    TScalesForm* board = Board();
    board->btnSend->click();
    const QString held = "FAILED before row 1: the main window's own connection holds this scale: press "
                         "\"Disconnect\" there, then send again";
    EXPECT_EQ(Cell(0, TScalesForm::ColState), held) << "before a reply could be waited for";
    ASSERT_TRUE(gui::WaitFor([&] { return !board->Sending(); }, 20000));
    EXPECT_EQ(Cell(0, TScalesForm::ColState), held);
    EXPECT_EQ(Cell(1, TScalesForm::ColState), "sent");
    EXPECT_EQ(Cell(2, TScalesForm::ColState), "sent");
    const auto deli = form->TransferHistory().Transfers("tcp:localhost:" + std::to_string(tcp.Port()));
    ASSERT_EQ(deli.size(), 1u);
    EXPECT_EQ(deli[0].outcome, scales::TransferOutcome::Failed);
    EXPECT_EQ(deli[0].name, "Deli");
    EXPECT_FALSE(deli[0].LeftIncomplete()) << "nothing went out";
    EXPECT_EQ("FAILED before row 1: " + QString::fromStdString(deli[0].message), held);

    // The serial port the window holds, likewise.
    form->btnOpenPort->click();
    ASSERT_TRUE(gui::WaitFor([&] { return form->btnOpenPort->text() == "Connect"; }));
    Kind = KindSerial;
    form->ComPort1.SetPort(serial.PortText());
    form->btnOpenPort->click();
    ASSERT_TRUE(form->ComPort1.Connected());
    board->btnSend->click();
    ASSERT_TRUE(gui::WaitFor([&] { return !board->Sending(); }, 20000));
    EXPECT_EQ(Cell(2, TScalesForm::ColState), held);
    EXPECT_EQ(Cell(0, TScalesForm::ColState), "sent");
    EXPECT_EQ(board->LabelSummary->text(), "2 of 3 sent, 1 failed");
}

// As a Qt dialog is used without a mouse: the list is one stop, Space checks
// the current scale, the buttons follow in order and answer to Alt and a
// letter, Return presses the default button.
TEST_F(ScalesBoard, TheBoardWorksFromTheKeyboard) {
    SimProcess sim;
    sim.Start({"--tcp", "--count", "3"});
    const auto ports = sim.Ports(3);
    ASSERT_EQ(ports.size(), 3u);
    Start("-" + Tcp(ports[0]) + "  Deli\n-" + Tcp(ports[1]) + "  Bakery\n-" + Tcp(ports[2]) + "  Cheese\n");
    form->LoadFile(table);
    TScalesForm* board = Board();
    ASSERT_TRUE(QTest::qWaitForWindowActive(board));
    auto* grid = board->GridScales;
    auto checked = [&] {
        QString marks;
        for (int r = 0; r < grid->rowCount(); ++r)
            marks += grid->item(r, TScalesForm::ColCheck)->checkState() == Qt::Checked ? 'x' : '-';
        return marks;
    };
    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_Down);
    grid->setCurrentCell(1, TScalesForm::ColState); // any cell of the row
    QTest::keyClick(grid, Qt::Key_Space);
    EXPECT_EQ(checked(), "-x-");

    // Tab leaves the list at once and walks the buttons that can be pressed.
    QStringList order;
    for (int i = 0; i < 8; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        if (QApplication::focusWidget() == grid) break;
        auto* button = qobject_cast<QPushButton*>(QApplication::focusWidget());
        order << (button ? button->text() : QString("?"));
    }
    EXPECT_EQ(order, (QStringList{"Check a&ll", "Check &none", "&Add…", "&Edit…", "&Remove",
                                  "&Send to checked scales"}));
    EXPECT_EQ(QApplication::focusWidget(), grid);

    // A button's letter presses it as a click would show (a moment later).
    QTest::keyClick(board->windowHandle(), Qt::Key_L, Qt::AltModifier);
    EXPECT_TRUE(gui::WaitFor([&] { return checked() == "xxx"; }));
    QTest::keyClick(board->windowHandle(), Qt::Key_N, Qt::AltModifier);
    EXPECT_TRUE(gui::WaitFor([&] { return checked() == "---"; }));
    QTest::keyClick(grid, Qt::Key_Space);
    EXPECT_EQ(checked(), "-x-");
    // Return in the list: the default button, "Send to checked scales".
    QTest::keyClick(board->windowHandle(), Qt::Key_Return);
    EXPECT_TRUE(board->Sending());
    ASSERT_TRUE(gui::WaitFor([&] { return !board->Sending(); }, 20000));
    EXPECT_EQ(Cell(1, TScalesForm::ColState), "sent");
    EXPECT_EQ(Cell(0, TScalesForm::ColState), "");
}

// Every column in view, none cut off behind a scroll bar: an empty list at
// 1240 pixels, and the board at half a 1600-pixel screen's room (a screen at
// twice the scale).
TEST_F(ScalesBoard, EveryColumnFitsTheBoardsWidth) {
    Start({});
    TScalesForm* board = Board();
    for (int width : {1240, 760}) {
        board->resize(width, 440);
        ASSERT_TRUE(gui::WaitFor([&] { return board->width() == width; }));
        QApplication::processEvents();
        auto* grid = board->GridScales;
        int sum = 0;
        for (int c = 0; c < TScalesForm::ColCount; ++c)
            sum += grid->columnWidth(c);
        EXPECT_LE(sum, grid->viewport()->width()) << width;
        EXPECT_EQ(grid->horizontalScrollBar()->maximum(), 0) << width;
        EXPECT_GE(grid->columnWidth(TScalesForm::ColHolds), grid->columnWidth(TScalesForm::ColName)) << width;
    }
}

// The session ending (a logout) cannot wait for an answer: the board's scales stop.
TEST_F(ScalesBoard, TheSessionsEndClosesWithoutAQuestion) {
    SimProcess slow;
    slow.Start({"--tcp", "--delay", "300"});
    Start(Tcp(slow.Port()) + "  Deli\n");
    form->LoadFile(table);
    TScalesForm* board = Board();
    board->btnSend->click();
    ASSERT_EQ(board->Unfinished(), 1);
    // A question would be up by the time the loop first runs: this closes it unanswered.
    auto asked = std::make_shared<bool>(false);
    QTimer::singleShot(0, [asked] {
        if (QWidget* w = QApplication::activeModalWidget()) {
            *asked = true;
            w->close();
        }
    });
    form->EndSession();
    EXPECT_TRUE(form->Closing());
    EXPECT_FALSE(form->isVisible());
    QApplication::processEvents();
    EXPECT_FALSE(*asked);
}

// Asked while the scales go on: once none is left there is nothing to ask, and
// the window closes as it was told to, every scale sent.
TEST_F(ScalesBoard, AQuestionLeftUnansweredEndsWithTheSend) {
    SimProcess slow;
    slow.Start({"--tcp", "--delay", "200"});
    Start(Tcp(slow.Port()) + "  Deli\n");
    form->LoadFile(table);
    TScalesForm* board = Board();
    board->btnSend->click();
    auto asked = std::make_shared<QString>();
    gui::WhenModal([asked](QWidget* w) {
        if (auto* box = qobject_cast<QMessageBox*>(w)) *asked = box->text();
    });
    EXPECT_TRUE(form->close());
    EXPECT_EQ(*asked, "1 scale is receiving a table. Closing stops it and leaves it incomplete.");
    EXPECT_EQ(Cell(0, TScalesForm::ColState), "sent");
    EXPECT_TRUE(form->Closing());
}

// A board closed while it sends and opened again after the end still says how
// each scale's send ended.
TEST_F(ScalesBoard, ABoardOpenedAgainAfterItsSendStillTellsEachScalesState) {
    SimProcess sim;
    sim.Start({"--tcp", "--count", "2"});
    const auto ports = sim.Ports(2);
    ASSERT_EQ(ports.size(), 2u);
    Start(Tcp(ports[0]) + "  Deli\n" + Tcp(ports[1]) + "  Bakery\n");
    form->LoadFile(table);
    TScalesForm* board = Board();
    board->btnSend->click();
    board->close();
    ASSERT_TRUE(gui::WaitFor([&] { return !board->Sending(); }, 20000));
    EXPECT_EQ(Board(), board);
    EXPECT_EQ(Cell(0, TScalesForm::ColState), "sent");
    EXPECT_EQ(Cell(1, TScalesForm::ColState), "sent");
}

// Row 0 and the row after the last are the start and end commands: the board
// says so as the command does, never "row 0" or a row the table has not.
TEST(BoardState, AFailureBeforeTheFirstRowOrAfterTheLastIsNotGivenARowNumber) {
    fleet::TargetResult r;
    r.rows = 36;
    r.outcome = fleet::TargetResult::Outcome::Failed;
    r.error = "why";
    r.row = 0;
    EXPECT_EQ(TBoardSend::StateText(r), "FAILED before row 1: why");
    r.row = 37;
    EXPECT_EQ(TBoardSend::StateText(r), "FAILED after row 36: why");
    r.row = 3;
    EXPECT_EQ(TBoardSend::StateText(r), "FAILED at row 3: why");
    r.outcome = fleet::TargetResult::Outcome::Stopped;
    r.row = 0;
    EXPECT_EQ(TBoardSend::StateText(r), "stopped before row 1");
}
