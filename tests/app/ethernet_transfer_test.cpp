// Sending the table over Ethernet, end to end: the real window, the real link
// and the simulated scale on 127.0.0.1.
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#include "app/Global.h"
#include "app/GuiTestUtil.h"
#include "app/okno.h"
#include "links/ethernet/EthConnection.h"
#include "links/ethernet/EthTestSupport.h"
#include "platform/Paths.h"
#include "tools/SimProcess.h"

namespace fs = std::filesystem;
using States = std::vector<int>;

namespace {

const std::string kWorkedExample = "1001;Apples;2.50\n1002;Pears;3.10\n";
const std::string kWorkedExampleLines = "SbP\r\nSr1001;Apples;2.50\r\nSr1002;Pears;3.10\r\nSe\r\n";

class EthernetTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove(platform::ExeDir() + "config.xml");
        fs::remove(platform::ExeDir() + "ComPortTest.ini");
        Dir = fs::temp_directory_path() / ("scaledb-eth-" + std::to_string(::getpid()));
        fs::create_directories(Dir);
        Form = new TForm1;
        Form->show();
        // Sees every state the link posts, then passes it on to the window.
        Relay = platform::AllocateHWnd([this](platform::UINT msg, platform::WPARAM w, platform::LPARAM l) {
            if (msg == WM_LINKSTATE) Posted.push_back(static_cast<int>(w & 0xFF));
            return platform::CallWindowProc(Form ? Form->Handle() : 0, msg, w, l);
        });
        MainWindowHandle = Relay;
        Kind = KindEthernet;
        Host = "127.0.0.1";
    }
    void TearDown() override {
        delete Form;
        Form = nullptr;
        platform::DeallocateHWnd(Relay);
        MainWindowHandle = 0;
        Kind = KindSerial;
        Protocol = ProtocolTCP;
        Host.clear();
        Port = 0;
        fs::remove_all(Dir);
    }

    void Load(const std::string& contents) {
        const fs::path p = Dir / "table.csv";
        std::ofstream(p, std::ios::binary) << contents;
        Form->LoadFile(p.string());
    }
    bool WaitForPosted(std::size_t n) {
        return ethtest::WaitUntil([&] { return Posted.size() >= n; });
    }
    void ExpectLabel(const QString& text, const QColor& colour, const QString& button) {
        EXPECT_EQ(Form->LabelConnection->text(), text);
        EXPECT_EQ(Form->LabelConnection->palette().color(QPalette::WindowText), colour);
        EXPECT_EQ(Form->btnOpenPort->text(), button);
    }
    std::shared_ptr<gui::BoxSeen> SendAndWait() {
        auto box = gui::ExpectMessageBox();
        Form->bbWyslijBaze->click();
        EXPECT_TRUE(gui::WaitFor([&] { return box->seen; }, 10000));
        return box;
    }

    const QColor Green{0, 128, 0};
    const QColor Red{255, 0, 0};
    fs::path Dir;
    TForm1* Form = nullptr;
    platform::HWND Relay = 0;
    States Posted;
};

TEST_F(EthernetTransfer, WorkedExampleOverTcpThenDisconnect) {
    SimProcess sim;
    sim.Start({"--tcp", "--log", sim.LogPath()});
    Protocol = ProtocolTCP;
    Port = sim.Port();
    Load(kWorkedExample);

    Form->btnOpenPort->click();
    ASSERT_TRUE(WaitForPosted(2));
    EXPECT_EQ(Posted, (States{1, 2}));
    ExpectLabel("127.0.0.1 connected", Green, "Disconnect");

    auto box = SendAndWait();
    EXPECT_EQ(box->caption, "Success");
    EXPECT_EQ(box->text, "Database was sent to scale.");
    EXPECT_EQ(sim.WaitForLog(kWorkedExampleLines), kWorkedExampleLines);

    Form->btnOpenPort->click();
    EXPECT_EQ(Form->FEthLink->TCPClient(), nullptr);
    ASSERT_TRUE(WaitForPosted(4));
    EXPECT_EQ(Posted, (States{1, 2, 0, 0}));
    ExpectLabel("127.0.0.1 disconnected", Red, "Connect");
}

TEST_F(EthernetTransfer, TcpWithNothingListeningShowsDisconnectedAndRetriesOnTheNextPress) {
    int freePort;
    {
        SimProcess probe;
        probe.Start({"--tcp"});
        freePort = probe.Port();
    }
    Protocol = ProtocolTCP;
    Port = freePort;
    Form->btnOpenPort->click();
    ASSERT_TRUE(WaitForPosted(2));
    EXPECT_EQ(Posted, (States{1, 0}));
    ExpectLabel("127.0.0.1 disconnected", Red, "Connect");

    SimProcess sim;
    sim.Start({"--tcp", "--port", std::to_string(freePort)});
    Form->btnOpenPort->click();
    ASSERT_TRUE(WaitForPosted(4));
    EXPECT_EQ(Posted, (States{1, 0, 1, 2}));
    ExpectLabel("127.0.0.1 connected", Green, "Disconnect");
}

TEST_F(EthernetTransfer, ScaleClosingOrResettingTheConnectionShowsDisconnected) {
    for (const char* how : {"--close-after", "--reset-after"}) {
        SCOPED_TRACE(how);
        Posted.clear();
        SimProcess sim;
        sim.Start({"--tcp", how, "1"});
        Protocol = ProtocolTCP;
        Port = sim.Port();
        Load(kWorkedExample);
        Form->btnOpenPort->click();
        ASSERT_TRUE(WaitForPosted(2));

        Form->bbWyslijBaze->click(); // the scale drops the link on "SbP"
        ASSERT_TRUE(WaitForPosted(3));
        EXPECT_EQ(Posted, (States{1, 2, 0}));
        ExpectLabel("127.0.0.1 disconnected", Red, "Connect");
        Form->bbWyslijBaze->click(); // Stop

        // The next press is a new connection.
        Form->btnOpenPort->click();
        ASSERT_TRUE(WaitForPosted(5));
        EXPECT_EQ(Posted, (States{1, 2, 0, 1, 2}));
        Form->btnOpenPort->click();
        ASSERT_TRUE(WaitForPosted(7));
    }
}

TEST_F(EthernetTransfer, ClosingTheWindowWhileConnectedPostsDisconnected) {
    SimProcess sim;
    sim.Start({"--tcp"});
    Protocol = ProtocolTCP;
    Port = sim.Port();
    Form->btnOpenPort->click();
    ASSERT_TRUE(WaitForPosted(2));
    Form->close();
    EXPECT_EQ(Form->FEthLink, nullptr);
    ASSERT_TRUE(WaitForPosted(3));
    EXPECT_EQ(Posted, (States{1, 2, 0}));
    ethtest::Drain();
    EXPECT_EQ(Posted.size(), 3u);
}

TEST_F(EthernetTransfer, WorkedExampleOverUdp) {
    ASSERT_TRUE(ethtest::UdpPortFree(UdpLocalPort));
    SimProcess sim;
    sim.Start({"--udp", "--log", sim.LogPath()});
    Protocol = ProtocolUDP;
    Port = sim.Port();
    Load(kWorkedExample);

    Form->btnOpenPort->click();
    ASSERT_TRUE(WaitForPosted(1));
    EXPECT_EQ(Posted, (States{2}));
    ExpectLabel("127.0.0.1 connected", Green, "Disconnect");
    EXPECT_TRUE(sim.WaitForLine("START 00"));

    auto box = SendAndWait();
    EXPECT_EQ(box->caption, "Success");
    EXPECT_EQ(sim.WaitForLog(kWorkedExampleLines), kWorkedExampleLines);

    Form->btnOpenPort->click();
    ASSERT_TRUE(WaitForPosted(2));
    EXPECT_EQ(Posted, (States{2, 0}));
    ExpectLabel("127.0.0.1 disconnected", Red, "Connect");
    EXPECT_TRUE(ethtest::UdpPortFree(UdpLocalPort));
}

TEST_F(EthernetTransfer, UdpRepliesInSingleBytePaddedDatagramsCompleteTheTransfer) {
    ASSERT_TRUE(ethtest::UdpPortFree(UdpLocalPort));
    SimProcess sim;
    sim.Start({"--udp", "--split", "--pad", "--log", sim.LogPath()});
    Protocol = ProtocolUDP;
    Port = sim.Port();
    Load(kWorkedExample);
    Form->rgBaza->SetItemIndex(1);
    Form->btnOpenPort->click();
    ASSERT_TRUE(WaitForPosted(1));
    auto box = SendAndWait();
    EXPECT_EQ(box->caption, "Success");
    EXPECT_EQ(sim.ReadLog(), "SbU\r\nSr1001;Apples;2.50\r\nSr1002;Pears;3.10\r\nSe\r\n");
}

} // namespace
