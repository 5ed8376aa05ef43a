// One sender per scale: a fleet holds each scale's lock from before its link
// opens until the link is closed, so a second fleet on that scale fails at
// once, or waits, and the two tables never interleave.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <unistd.h>

#include "fleet/Bytes.h"
#include "fleet/Fleet.h"
#include "fleet/Log.h"
#include "fleet/Records.h"
#include "scales/History.h"
#include "tools/SimProcess.h"

namespace {

bool WaitFor(const std::function<bool()>& done, int ms = 20000) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// `rows` rows "<item><r>;x" and what the scale hears of them.
std::string Rows(char item, int rows) {
    std::string t;
    for (int r = 1; r <= rows; ++r)
        t += item + std::to_string(r) + ";x\n";
    return t;
}
std::string Wire(char item, int rows) {
    std::string w = "SbP\r\n";
    for (int r = 1; r <= rows; ++r)
        w += "Sr" + std::string(1, item) + std::to_string(r) + ";x\r\n";
    return w + "Se\r\n";
}

// One fleet of one target sending `rows` rows of `item`, recorded in `history`.
struct Sender {
    Sender(scales::History& history, const scales::Target& target, char item, int rows,
           const fleet::FleetOptions& options = {}) {
        TableParser parser;
        const std::string text = Rows(item, rows);
        parser.Feed(text.data(), text.size());
        auto records = std::make_shared<const fleet::Records>(
            std::make_shared<const TableData>(parser.Finish()), std::unique_ptr<fleet::Recoder>());
        scales::TransferStart table;
        table.path = std::string(1, item) + ".csv";
        table.sha256 = std::string(64, item);
        table.rows = rows;
        table.program = "scaledb-send";
        recorder = std::make_unique<fleet::TRecorder>(history, table, fleet::TScaleNames());
        sender = std::make_unique<fleet::TFleet>(options, std::vector<scales::Target>{target}, records,
                                                 fleet::LinkSettings{}, log);
        sender->RecordIn(*recorder);
        sender->OnFinished = [this] { finished = true; };
    }
    const fleet::TargetResult& Result() const { return sender->Results().at(0); }

    fleet::SendLog log{""};
    std::unique_ptr<fleet::TRecorder> recorder;
    std::unique_ptr<fleet::TFleet> sender;
    bool finished = false;
};

class FleetBusy : public ::testing::Test {
protected:
    void SetUp() override {
        sim.Start({"--tcp", "--log", sim.LogPath()});
        std::vector<scales::Target> t{scales::ParseTarget("tcp:127.0.0.1:" + sim.PortText())};
        scales::LookUpHosts(t);
        target = t[0];
        ASSERT_EQ(history.Open(dir.path().toStdString() + "/history.sqlite"), scales::HistoryState::Open);
    }
    // Once the scale has heard `expected` and then a probe sent after everything else,
    // nothing else reached it.
    bool HeardOnly(const std::string& expected) {
        QTcpSocket probe;
        probe.connectToHost("127.0.0.1", static_cast<quint16>(sim.Port()));
        probe.write("probe\r\n");
        return WaitFor([&] { return sim.ReadLog() == expected + "probe\r\n"; });
    }
    std::string Holder() const {
        return "being sent by " + QCoreApplication::applicationName().toStdString() + ", pid " +
               std::to_string(::getpid()) + ", since ";
    }

    SimProcess sim;
    scales::Target target;
    QTemporaryDir dir;
    scales::History history;
};

} // namespace

TEST_F(FleetBusy, ASecondFleetOnABusyScaleFailsAtOnceNamingTheHolderAndTheScaleKeepsOneTable) {
    Sender first(history, target, 'a', 3), second(history, target, 'b', 2);
    first.sender->Start(); // holds the scale from here on
    second.sender->Start();
    // Refused before its Start returned: its link never opened.
    ASSERT_TRUE(second.finished);
    EXPECT_EQ(second.Result().outcome, fleet::TargetResult::Outcome::Failed);
    EXPECT_EQ(second.Result().error.rfind(Holder(), 0), 0u) << second.Result().error;
    EXPECT_EQ(second.Result().commands, 0);
    EXPECT_EQ(second.Result().row, 0);

    ASSERT_TRUE(WaitFor([&] { return first.finished; }));
    EXPECT_EQ(first.Result().outcome, fleet::TargetResult::Outcome::Sent) << first.Result().error;
    EXPECT_TRUE(HeardOnly(Wire('a', 3))) << sim.ReadLog();

    // The refusal is recorded as a link that never opened: the scale holds the first table.
    const auto holdings = history.Holdings(scales::ScaleKey(target.text));
    ASSERT_EQ(holdings.size(), 1u);
    ASSERT_TRUE(holdings[0].complete.has_value());
    EXPECT_EQ(holdings[0].complete->sha256, std::string(64, 'a'));
    EXPECT_FALSE(holdings[0].Incomplete());
    EXPECT_EQ(holdings[0].last.outcome, scales::TransferOutcome::Failed);
    EXPECT_FALSE(holdings[0].last.startSent);
    EXPECT_EQ(holdings[0].last.message, second.Result().error);
}

TEST_F(FleetBusy, AFleetThatMayWaitSendsOnceTheHolderHasLetGoAndOneStoppedWhileWaitingSendsNothing) {
    fleet::FleetOptions patient;
    patient.waitBusySeconds = 60;
    Sender first(history, target, 'a', 3), second(history, target, 'b', 2, patient),
        stopped(history, target, 'c', 1, patient);
    first.sender->Start();
    second.sender->Start();
    stopped.sender->Start();
    EXPECT_FALSE(second.finished);
    EXPECT_TRUE(second.sender->Statuses().at(0).waiting);
    stopped.sender->Stop("stopped by the user");
    ASSERT_TRUE(stopped.finished);
    EXPECT_EQ(stopped.Result().outcome, fleet::TargetResult::Outcome::Stopped);

    ASSERT_TRUE(WaitFor([&] { return first.finished && second.finished; }));
    EXPECT_EQ(first.Result().outcome, fleet::TargetResult::Outcome::Sent) << first.Result().error;
    EXPECT_EQ(second.Result().outcome, fleet::TargetResult::Outcome::Sent) << second.Result().error;
    // One table after the other, whole; nothing of the stopped one.
    EXPECT_TRUE(HeardOnly(Wire('a', 3) + Wire('b', 2))) << sim.ReadLog();
    const auto holdings = history.Holdings(scales::ScaleKey(target.text));
    ASSERT_EQ(holdings.size(), 1u);
    ASSERT_TRUE(holdings[0].complete.has_value());
    EXPECT_EQ(holdings[0].complete->sha256, std::string(64, 'b'));
    EXPECT_FALSE(holdings[0].Incomplete());
}
