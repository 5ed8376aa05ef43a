// The recorder the window, the board and the command write the history through.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "fleet/Recorder.h"
#include "scales/History.h"

namespace {

using Clock = std::chrono::steady_clock;

scales::TransferStart Table() {
    scales::TransferStart t;
    t.path = "/srv/pos/products.csv";
    t.rows = 36;
    t.program = "scaledb-send";
    return t;
}

TTransferProgress Acked(int rows) {
    TTransferProgress p;
    p.Acknowledged = rows;
    return p;
}

int RecordedRow(scales::History& h) {
    return h.Transfers()[0].row;
}

} // namespace

TEST(Recorder, ProgressIsWrittenAtMostOnceASecondAndTheLastOfItWithinTheNext) {
    QTemporaryDir dir;
    scales::History h;
    ASSERT_EQ(h.Open(dir.path().toStdString() + "/history.sqlite"), scales::HistoryState::Open);
    fleet::TRecorder recorder(h, Table(), fleet::TScaleNames());
    fleet::TRecording r = recorder.Begin("tcp:127.0.0.1:4001");
    // Ten seconds ago, so that the real clock of the last step is past every step here.
    const Clock::time_point t0 = Clock::now() - std::chrono::seconds(10);
    recorder.Progress(r, 2, Acked(1), t0);
    EXPECT_EQ(RecordedRow(h), 2);
    recorder.Progress(r, 3, Acked(2), t0 + std::chrono::milliseconds(400));
    recorder.Progress(r, 4, Acked(3), t0 + std::chrono::milliseconds(500));
    recorder.FlushProgress(t0 + std::chrono::milliseconds(900));
    EXPECT_EQ(RecordedRow(h), 2);
    recorder.FlushProgress(t0 + std::chrono::milliseconds(1000));
    EXPECT_EQ(RecordedRow(h), 4);
    EXPECT_EQ(h.Transfers()[0].acknowledged, 3);
    // Nothing new, nothing written; a change after the second goes in at once.
    recorder.Progress(r, 4, Acked(3), t0 + std::chrono::milliseconds(2500));
    recorder.Progress(r, 9, Acked(8), t0 + std::chrono::milliseconds(2600));
    EXPECT_EQ(RecordedRow(h), 9);
    // The last change before a stall reaches the history by itself, on the loop.
    recorder.Progress(r, 10, Acked(9));
    recorder.Progress(r, 11, Acked(10));
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (RecordedRow(h) == 11) loop.quit();
    });
    poll.start(20);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_EQ(RecordedRow(h), 11);
    // The end is the last word.
    recorder.Progress(r, 12, Acked(11));
    scales::TransferEnd end;
    end.outcome = scales::TransferOutcome::Sent;
    end.row = 37;
    end.acknowledged = 36;
    recorder.End(r, end);
    recorder.FlushProgress(Clock::now() + std::chrono::seconds(5));
    EXPECT_EQ(RecordedRow(h), 37);
}

TEST(Recorder, ATargetIsRecordedUnderTheSpellingTheListOrTheHistoryKnowsItsScaleBy) {
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    scales::History h;
    ASSERT_EQ(h.Open(root + "/history.sqlite"), scales::HistoryState::Open);
    const std::string device = root + "/ttyUSB0", link = root + "/by-id-scale";
    std::ofstream(device).put('\n');
    std::filesystem::create_symlink(device, link);
    {
        // Recorded before under the device.
        fleet::TRecorder earlier(h, Table(), fleet::TScaleNames());
        fleet::TRecording r = earlier.Begin("serial:" + device);
        earlier.End(r, scales::TransferEnd{});
    }
    const scales::ScaleList list = scales::ScaleList::Parse("tcp:127.0.0.1:4001  Deli counter\n");
    fleet::TRecorder recorder(h, Table(), fleet::TScaleNames(list));
    std::vector<scales::Target> targets{scales::ParseTarget("tcp:localhost:4001"),
                                        scales::ParseTarget("serial:" + link + "@9600"),
                                        scales::ParseTarget("tcp:127.0.0.1:4002")};
    scales::LookUpHosts(targets);
    recorder.SameScales(targets);
    EXPECT_EQ(recorder.Begin("tcp:localhost:4001").target, "tcp:127.0.0.1:4001");
    EXPECT_EQ(recorder.Begin("tcp:localhost:4001").name, "Deli counter");
    EXPECT_EQ(recorder.Begin("serial:" + link + "@9600").target, "serial:" + device);
    EXPECT_EQ(recorder.NotBegun("tcp:127.0.0.1:4002").target, "tcp:127.0.0.1:4002");
    // What makes it the same scale is recorded with it, for the next run.
    EXPECT_EQ(h.Transfers("tcp:127.0.0.1:4001")[0].scale, "tcp 127.0.0.1:4001");
}
