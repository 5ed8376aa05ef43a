// One sender per scale: the window's transfer holds the scale its link talks to,
// against scaledb-send (and the board) in other processes.
#include <QMessageBox>
#include <QPushButton>
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
const std::string kWorkedExampleLines = "SbP\r\nSr1001;Apples;2.50\r\nSr1002;Pears;3.10\r\nSe\r\n";

// A scale that hears nothing while it lasts: the kernel still takes connections and bytes.
class Frozen {
public:
    explicit Frozen(pid_t pid) : pid_(pid) { ::kill(pid_, SIGSTOP); }
    ~Frozen() { Thaw(); }
    void Thaw() {
        if (pid_ > 0) ::kill(pid_, SIGCONT);
        pid_ = -1;
    }

private:
    pid_t pid_;
};

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
        Sim.Start({"--tcp", "--log", Sim.LogPath()});
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
    Frozen frozen(Sim.Pid());
    auto holder = Command("holder");
    holder->Start({Table, Scale, "--timeout", "60", "--log", (Dir / "holder.log").string()});
    // Its link is open: it holds the scale until the scale answers.
    ASSERT_TRUE(gui::WaitFor(
        [&] { return SendProcess::Read((Dir / "holder.log").string()).find(" > SbP") != std::string::npos; },
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

    frozen.Thaw();
    EXPECT_EQ(holder->Wait(), 0) << holder->Err();
    // Once the holder is done the window sends, and the scale heard nothing of it before.
    auto sent = gui::ExpectMessageBox(20000);
    Form->bbWyslijBaze->click();
    ASSERT_TRUE(gui::WaitFor([&] { return sent->seen; }, 20000));
    EXPECT_EQ(sent->caption, "Success");
    EXPECT_EQ(Sim.ReadLog(), kWorkedExampleLines + kWorkedExampleLines);
}

TEST_F(WindowScaleLock, WhileTheWindowSendsAScaledbSendToItsScaleFailsAtOnceNamingTheWindow) {
    Frozen frozen(Sim.Pid());
    Connect();
    Form->bbWyslijBaze->click();
    ASSERT_EQ(Form->bbWyslijBaze->Tag, 1);

    auto refused = Command("refused");
    EXPECT_EQ(refused->Run({Table, Scale}), 1);
    EXPECT_NE(
        LineOfScale(*refused).find(": being sent by scaledb, pid " + std::to_string(::getpid()) + ", since "),
        std::string::npos)
        << refused->Out() << refused->Err();

    auto box = gui::ExpectMessageBox(20000);
    frozen.Thaw();
    ASSERT_TRUE(gui::WaitFor([&] { return box->seen; }, 20000));
    EXPECT_EQ(box->caption, "Success");
    // The window let the scale go with its transfer; the scale serves one connection at a time.
    Form->btnOpenPort->click();
    ASSERT_TRUE(gui::WaitFor([&] { return Form->FLinkState == LinkDisconnected; }));
    auto after = Command("after");
    EXPECT_EQ(after->Run({Table, Scale}), 0) << after->Err();
    // The refused run never reached the scale: its connection would have been served before the last one.
    EXPECT_EQ(Sim.WaitForLog(kWorkedExampleLines + kWorkedExampleLines),
              kWorkedExampleLines + kWorkedExampleLines);
}
