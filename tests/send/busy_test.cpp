// One sender per scale across processes: a run on a scale another run is sending to.
#include "send/SendTestUtil.h"

using namespace sendtest;

namespace {

// Copies of the program that share the test's folder as their data folder, where the locks are.
class BusyTest : public SendTest {
protected:
    BusyTest() {
        program_ = Path("scaledb-send");
        std::filesystem::copy_file(SCALEDB_BIN_DIR "/scaledb-send", program_);
    }
    // A run of its own, with its outputs in a folder of its own.
    std::unique_ptr<SendProcess> Run(const std::string& name) {
        std::filesystem::create_directory(Path(name));
        return std::make_unique<SendProcess>(Path(name), program_);
    }
    // Waits until `path` holds `text`.
    static bool WaitForText(const std::string& path, const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (SendProcess::Read(path).find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    std::string program_;
};

} // namespace

TEST_F(BusyTest, ASecondRunOnABusyScaleFailsAtOnceNamingTheFirstAndOneThatWaitsSendsAfterIt) {
    SimProcess sim;
    sim.Start({"--tcp", "--log", sim.LogPath()});
    const std::string scale = Tcp(sim.Port());
    sim.Freeze();
    auto first = Run("first");
    first->Start({Table(3, "first.csv"), scale, "--timeout", "60", "--log", Path("first.log")});
    // Its link is open: it holds the scale, and will until the scale answers.
    ASSERT_TRUE(WaitForText(Path("first.log"), " > SbP\\r\\n"));
    const std::string holder = "being sent by scaledb-send, pid " + std::to_string(first->Pid()) + ", since ";

    auto second = Run("second");
    EXPECT_EQ(second->Run({Table(2, "second.csv"), scale}), 1);
    const std::string refused = LineOf(second->Out(), scale);
    EXPECT_NE(refused.find("  FAILED "), std::string::npos) << second->Out() << second->Err();
    EXPECT_NE(refused.find(": " + holder), std::string::npos) << refused;

    auto third = Run("third");
    third->Start({Table(1, "third.csv"), scale, "--wait-busy", "60", "--log", Path("third.log")});
    ASSERT_TRUE(WaitForText(Path("third.log"), " - waiting up to 60 s: " + holder));
    sim.Thaw();
    EXPECT_EQ(first->Wait(), 0) << first->Err();
    EXPECT_EQ(third->Wait(), 0) << third->Err();
    EXPECT_NE(LineOf(third->Out(), scale).find("  sent 1 of 1 rows in "), std::string::npos) << third->Out();
    // The first table whole, then the third's; the second run never reached the scale (its
    // connection would have been served before the third's).
    EXPECT_EQ(sim.WaitForLog(Wire(3) + Wire(1)), Wire(3) + Wire(1));
}

TEST_F(BusyTest, TheWaitIsSecondsFromZeroToADay) {
    const std::string table = Table(1);
    SendProcess send(dir_, program_);
    for (const char* bad : {"-1", "86401", "nan", "soon"}) {
        EXPECT_EQ(send.Run({table, "tcp:127.0.0.1:9", "--wait-busy", bad}), 2);
        EXPECT_EQ(send.Err(), "scaledb-send: --wait-busy: expected seconds from 0 to 86400, got \"" +
                                  std::string(bad) + "\"\nTry 'scaledb-send --help'.\n");
    }
}
