// One sender per scale: the window's transfer holds the scale its link talks to,
// against scaledb-send (and the board) in other processes.
#include <QMessageBox>
#include <QPushButton>
#include <QTcpSocket>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

#include "app/Global.h"
#include "app/GuiTestUtil.h"
#include "app/okno.h"
#include "platform/Paths.h"
#include "send/SendProcess.h"
#include "tools/SimProcess.h"

namespace fs = std::filesystem;

namespace {

const std::string kWorkedExample = "1001;Apples;2.50\n1002;Pears;3.10\n";

class WindowScaleLock : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove(platform::ExeDir() + "config.xml");
        fs::remove(platform::ExeDir() + "ComPortTest.ini");
        Dir = fs::temp_directory_path() / ("scaledb-lock-" + std::to_string(::getpid()));
        fs::create_directories(Dir);
        // Beside this executable, the command's data folder is the window's: so are its locks.
        Program = platform::ExeDir() + "scaledb-send";
        fs::copy_file(SCALEDB_BIN_DIR "/scaledb-send", Program, fs::copy_options::overwrite_existing);
        // It answers the start only: whoever sends to it waits at the first row.
        Sim.Start({"--tcp", "--silent-after", "1", "--log", Sim.LogPath()});
        Scale = "tcp:127.0.0.1:" + Sim.PortText();
        Form = new TForm1;
        Form->show();
        Kind = KindEthernet;
        Protocol = ProtocolTCP;
        Host = "127.0.0.1";
        Port = Sim.Port();
        Table = (Dir / "table.csv").string();
        std::ofstream(Table, std::ios::binary) << kWorkedExample;
        Form->LoadFile(Table);
    }
    void TearDown() override {
        delete Form;
        Form = nullptr;
        Kind = KindSerial;
        Protocol = ProtocolTCP;
        Host.clear();
        Port = 0;
        fs::remove(Program);
        fs::remove_all(Dir);
    }
    void Connect() {
        Form->btnOpenPort->click();
        ASSERT_TRUE(gui::WaitFor([&] { return Form->FLinkState == LinkConnected; }));
    }
    std::unique_ptr<SendProcess> Command(const std::string& name) {
        fs::create_directories(Dir / name);
        return std::make_unique<SendProcess>((Dir / name).string(), Program);
    }
    // The final line of the command's run for the scale.
    std::string LineOfScale(const SendProcess& send) const {
        const std::string out = send.Out();
        const auto at = out.find(Scale + " ");
        return at == std::string::npos ? std::string() : out.substr(at, out.find('\n', at) - at);
    }

    fs::path Dir;
    std::string Program, Table, Scale;
    SimProcess Sim;
    TForm1* Form = nullptr;
};

} // namespace

TEST_F(WindowScaleLock, WhileScaledbSendHoldsTheScaleTheWindowSendsNothingAndSaysWho) {
    auto holder = Command("holder");
    holder->Start({Table, Scale, "--timeout", "60", "--log", (Dir / "holder.log").string()});
    // It waits for the answer to its first row: it holds the scale for a minute.
    ASSERT_TRUE(gui::WaitFor(
        [&] {
            return SendProcess::Read((Dir / "holder.log").string()).find(" > Sr1001") != std::string::npos;
        },
        20000));
    Connect();

    auto box = gui::ExpectMessageBox();
    Form->bbWyslijBaze->click();
    ASSERT_TRUE(gui::WaitFor([&] { return box->seen; }));
    EXPECT_EQ(box->caption, "Failure");
    EXPECT_EQ(box->icon, QMessageBox::Warning);
    const QString busy = "Database could not be sent to scale: being sent by scaledb-send, pid " +
                         QString::number(holder->Pid()) + ", since ";
    EXPECT_TRUE(box->text.startsWith(busy) && box->text.endsWith(".")) << box->text.toStdString();
    // The transfer never started.
    EXPECT_EQ(Form->bbWyslijBaze->text(), "Send database");
    EXPECT_EQ(Form->bbWyslijBaze->Tag, 0);
    EXPECT_TRUE(Form->btnOpenPort->isEnabled());

    holder->Signal(SIGTERM);
    EXPECT_EQ(holder->Wait(), 128 + SIGTERM) << holder->Err();
    // Once the holder is gone the window sends; the scale heard nothing of it before.
    Form->bbWyslijBaze->click();
    EXPECT_EQ(Form->bbWyslijBaze->Tag, 1);
    const std::string heard = "SbP\r\nSr1001;Apples;2.50\r\nSbP\r\n";
    EXPECT_TRUE(gui::WaitFor([&] { return Sim.ReadLog() == heard; })) << Sim.ReadLog();
    Form->bbWyslijBaze->click();
}

TEST_F(WindowScaleLock, WhileTheWindowSendsAScaledbSendToItsScaleFailsAtOnceNamingTheWindowUntilItStops) {
    Connect();
    Form->bbWyslijBaze->click();
    ASSERT_EQ(Form->bbWyslijBaze->Tag, 1);
    // Its first row waits for an answer that never comes.
    ASSERT_TRUE(gui::WaitFor([&] { return Sim.ReadLog() == "SbP\r\nSr1001;Apples;2.50\r\n"; }))
        << Sim.ReadLog();

    auto refused = Command("refused");
    EXPECT_EQ(refused->Run({Table, Scale}), 1);
    EXPECT_NE(
        LineOfScale(*refused).find(": being sent by scaledb, pid " + std::to_string(::getpid()) + ", since "),
        std::string::npos)
        << refused->Out() << refused->Err();

    // "Stop" lets the scale go.
    Form->bbWyslijBaze->click();
    scales::TScaleLock lock;
    EXPECT_EQ(lock.TryTake(scales::LockKey(scales::ParseTarget(Scale)), "test"), "");
    // The refused run never reached the scale: a probe after the window's connection is the next it hears.
    Form->btnOpenPort->click();
    ASSERT_TRUE(gui::WaitFor([&] { return Form->FLinkState == LinkDisconnected; }));
    QTcpSocket probe;
    probe.connectToHost("127.0.0.1", static_cast<quint16>(Sim.Port()));
    probe.write("probe\r\n");
    EXPECT_TRUE(gui::WaitFor([&] { return Sim.ReadLog() == "SbP\r\nSr1001;Apples;2.50\r\nprobe\r\n"; }))
        << Sim.ReadLog();
}
