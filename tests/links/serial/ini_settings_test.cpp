// Storing and restoring the port's settings in the INI file.
#include "links/serial/CPort.h"
#include "platform/SerialFake.h"

#include <QTemporaryDir>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

class IniSettings : public ::testing::Test {
protected:
    std::string Path() const { return dir.path().toStdString() + "/ComPortTest.ini"; }
    void WriteFile(const std::string& content) { std::ofstream(Path(), std::ios::binary) << content; }
    std::string ReadFile() const {
        std::ifstream in(Path(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    QTemporaryDir dir;
    TComPort port;
};

TEST_F(IniSettings, FirstRunWritesTheBasicGroupInOrder) {
    port.RestoreSettings(ssIniFile, Path()); // no file yet: nothing changes
    EXPECT_EQ(port.Port(), "COM1");
    EXPECT_EQ(port.BaudRate(), br9600);
    EXPECT_FALSE(std::filesystem::exists(Path()));

    port.SaveSettings(ssIniFile, Path());
    const std::string text = ReadFile();
    const std::string expected[] = {"[ComPort1]", "Port=COM1",   "BaudRate=9600",   "StopBits=1",
                                    "DataBits=8", "Parity=None", "FlowControl=None"};
    std::istringstream lines(text);
    std::string line;
    std::size_t n = 0;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        ASSERT_LT(n, std::size(expected)) << "extra line: " << line;
        EXPECT_EQ(line, expected[n++]);
    }
    EXPECT_EQ(n, std::size(expected));
}

TEST_F(IniSettings, OtherLinesOfTheFileStayByteForByte) {
    const std::string before = "; settings of the scale tool\r\n"
                               "[Other]\r\n"
                               "Port=COM9\r\n"
                               "\r\n"
                               "[comport1]\r\n"
                               "# keep me\r\n"
                               "Extra = 42 \r\n"
                               "BAUDRATE=19200\r\n"
                               "CustomBaudRate=12345\r\n"
                               "[Last]\r\n"
                               "x=y\r\n";
    WriteFile(before);
    port.RestoreSettings(ssIniFile, Path());
    EXPECT_EQ(port.BaudRate(), br19200);
    EXPECT_EQ(port.Port(), "COM1"); // the other section's key is not ours
    port.SetBaudRate(br57600);
    port.SaveSettings(ssIniFile, Path());
    const std::string after = ReadFile();
    // Untouched lines survive exactly, the non-custom rate leaves CustomBaudRate alone.
    for (const char* kept : {"; settings of the scale tool\r\n", "[Other]\r\nPort=COM9\r\n", "# keep me\r\n",
                             "Extra = 42 \r\n", "CustomBaudRate=12345\r\n", "[Last]\r\nx=y\r\n"})
        EXPECT_NE(after.find(kept), std::string::npos) << kept;
    EXPECT_NE(after.find("57600"), std::string::npos);
    EXPECT_EQ(after.find("19200"), std::string::npos);
    EXPECT_NE(after.find("Port=COM1"), std::string::npos);
}

TEST_F(IniSettings, CustomBaudRateIsReadOnlyForCustomAndDefaultsTo9600) {
    WriteFile("[ComPort1]\nBaudRate=custom\nCustomBaudRate=250000\n");
    port.RestoreSettings(ssIniFile, Path());
    EXPECT_EQ(port.BaudRate(), brCustom);
    EXPECT_EQ(port.CustomBaudRate(), 250000);
    port.SaveSettings(ssIniFile, Path());
    EXPECT_NE(ReadFile().find("BaudRate=Custom"), std::string::npos);

    // Missing: 9600, not the rate the port held.
    WriteFile("[ComPort1]\nBaudRate=Custom\n");
    port.RestoreSettings(ssIniFile, Path());
    EXPECT_EQ(port.CustomBaudRate(), 9600);

    // Present but the rate is named: not read.
    port.SetCustomBaudRate(777);
    WriteFile("[ComPort1]\nBaudRate=2400\nCustomBaudRate=0x400\n");
    port.RestoreSettings(ssIniFile, Path());
    EXPECT_EQ(port.BaudRate(), br2400);
    EXPECT_EQ(port.CustomBaudRate(), 777);

    WriteFile("[ComPort1]\nBaudRate=Custom\nCustomBaudRate=0x400\n");
    port.RestoreSettings(ssIniFile, Path());
    EXPECT_EQ(port.CustomBaudRate(), 1024);
}

TEST_F(IniSettings, FlowControlKindSetsPresetsAndKeepsTheRest) {
    port.FlowControl().SetControlDTR(dtrEnable);
    port.FlowControl().SetOutDSRFlow(true);
    WriteFile("[ComPort1]\nFlowControl=hardware\n");
    port.RestoreSettings(ssIniFile, Path());
    const TComFlowControl& f = port.FlowControl();
    EXPECT_EQ(f.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(f.OutCTSFlow());
    EXPECT_FALSE(f.XonXoffIn());
    EXPECT_FALSE(f.XonXoffOut());
    EXPECT_EQ(f.ControlDTR(), dtrEnable);
    EXPECT_TRUE(f.OutDSRFlow());

    for (const char* text : {"Custom", "RTS/CTS"}) {
        WriteFile(std::string("[ComPort1]\nFlowControl=") + text + "\n");
        port.RestoreSettings(ssIniFile, Path());
        EXPECT_EQ(port.FlowControl().FlowControl(), fcHardware) << text;
    }

    // A custom mix is saved as "Custom" by the basic group.
    port.FlowControl().SetXonXoffIn(true);
    port.SaveSettings(ssIniFile, Path());
    EXPECT_NE(ReadFile().find("FlowControl=Custom"), std::string::npos);
}

TEST_F(IniSettings, OddValuesAndEmptyValues) {
    WriteFile("[ComPort1]\nPort=\nBaudRate=\nStopBits=1,5\nDataBits=9\nParity=EVEN\n");
    port.RestoreSettings(ssIniFile, Path());
    EXPECT_EQ(port.Port(), ""); // present but empty is not missing
    EXPECT_EQ(port.BaudRate(), br9600);
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
    EXPECT_EQ(port.DataBits(), dbEight);
    EXPECT_EQ(port.Parity().Bits(), prEven);

    port.SetSavedGroups({sgOthers, sgParity, sgBuffer, sgTimeouts});
    port.Timeouts().SetReadTotalConstant(77);
    WriteFile("[ComPort1]\nEventChar=\nDiscardNull=yes\nParity.Check=1\nParity.Replace=YES\n"
              "Parity.ReplaceChar=#-1\nBuffer.InputSize=1025\nBuffer.OutputSize=abc\n"
              "Timeouts.ReadInterval=0xFFFFFFFF\nTimeouts.ReadTotalConstant=12x\n"
              "Timeouts.WriteTotalConstant=-5\n");
    port.SetEventChar('Z');
    port.RestoreSettings(ssIniFile, Path());
    EXPECT_EQ(port.EventChar(), 0);
    EXPECT_TRUE(port.DiscardNull());
    EXPECT_FALSE(port.Parity().Check());
    EXPECT_TRUE(port.Parity().Replace());
    EXPECT_EQ(port.Parity().ReplaceChar(), static_cast<char>(255));
    EXPECT_EQ(port.Buffer().InputSize(), 1024);
    EXPECT_EQ(port.Buffer().OutputSize(), 1024);
    EXPECT_EQ(port.Timeouts().ReadInterval(), -1);
    EXPECT_EQ(port.Timeouts().ReadTotalConstant(), 77);
    EXPECT_EQ(port.Timeouts().WriteTotalConstant(), -5);
}

TEST_F(IniSettings, AllGroupsRoundTripInKeyOrder) {
    port.SetSavedGroups({sgBasic, sgFlowControl, sgBuffer, sgTimeouts, sgParity, sgOthers});
    port.SetPort("/dev/ttyUSB0");
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(31250);
    port.SetStopBits(sbTwoStopBits);
    port.SetDataBits(dbSeven);
    port.Parity().SetBits(prMark);
    port.Parity().SetCheck(true);
    port.Parity().SetReplaceChar(' ');
    port.SetEventChar('\n');
    port.Buffer().SetOutputSize(512);
    port.Timeouts().SetWriteTotalMultiplier(3);
    port.FlowControl().SetControlRTS(rtsToggle);
    port.FlowControl().SetControlDTR(dtrHandshake);
    port.FlowControl().SetXoffChar('~');
    port.FlowControl().SetTxContinueOnXoff(true);
    port.SaveSettings(ssIniFile, Path());

    const std::string text = ReadFile();
    const char* order[] = {"Port=",
                           "BaudRate=",
                           "CustomBaudRate=",
                           "StopBits=",
                           "DataBits=",
                           "Parity=",
                           "FlowControl=",
                           "EventChar=#10",
                           "DiscardNull=No",
                           "Parity.Check=Yes",
                           "Parity.Replace=No",
                           "Parity.ReplaceChar=#32",
                           "Buffer.OutputSize=512",
                           "Buffer.InputSize=1024",
                           "Timeouts.ReadInterval=-1",
                           "Timeouts.ReadTotalConstant=0",
                           "Timeouts.ReadTotalMultiplier=0",
                           "Timeouts.WriteTotalConstant=1000",
                           "Timeouts.WriteTotalMultiplier=3",
                           "FlowControl.ControlRTS=Toggle",
                           "FlowControl.ControlDTR=Handshake",
                           "FlowControl.DSRSensitivity=No",
                           "FlowControl.OutCTSFlow=No",
                           "FlowControl.OutDSRFlow=No",
                           "FlowControl.TxContinueOnXoff=Yes",
                           "FlowControl.XonXoffIn=No",
                           "FlowControl.XonXoffOut=No",
                           "FlowControl.XoffChar=~",
                           "FlowControl.XonChar=#17"};
    std::size_t at = 0;
    for (const char* key : order) {
        auto pos = text.find(std::string("\n") + key, at);
        ASSERT_NE(pos, std::string::npos) << key;
        at = pos + 1;
    }

    TComPort copy;
    copy.SetSavedGroups(port.SavedGroups());
    copy.RestoreSettings(ssIniFile, Path());
    EXPECT_EQ(copy.Port(), "/dev/ttyUSB0");
    EXPECT_EQ(copy.CustomBaudRate(), 31250);
    EXPECT_EQ(copy.StopBits(), sbTwoStopBits);
    EXPECT_EQ(copy.DataBits(), dbSeven);
    EXPECT_EQ(copy.Parity().Bits(), prMark);
    EXPECT_TRUE(copy.Parity().Check());
    EXPECT_EQ(copy.Parity().ReplaceChar(), ' ');
    EXPECT_EQ(copy.EventChar(), '\n');
    EXPECT_EQ(copy.Buffer().OutputSize(), 512);
    EXPECT_EQ(copy.Timeouts().WriteTotalMultiplier(), 3);
    // The individual keys override the "Custom" kind read before them.
    EXPECT_EQ(copy.FlowControl().ControlRTS(), rtsToggle);
    EXPECT_EQ(copy.FlowControl().ControlDTR(), dtrHandshake);
    EXPECT_EQ(copy.FlowControl().XoffChar(), '~');
    EXPECT_TRUE(copy.FlowControl().TxContinueOnXoff());
}

TEST_F(IniSettings, SectionFollowsNameAndEmptyGroupsTouchNothing) {
    TComPort other;
    other.SetName("Scale2");
    other.SetPort("COM4");
    other.SaveSettings(ssIniFile, Path());
    port.SaveSettings(ssIniFile, Path());
    const std::string text = ReadFile();
    EXPECT_NE(text.find("[Scale2]"), std::string::npos);
    EXPECT_NE(text.find("[ComPort1]"), std::string::npos);
    TComPort reader;
    reader.SetName("Scale2");
    reader.RestoreSettings(ssIniFile, Path());
    EXPECT_EQ(reader.Port(), "COM4");

    port.SetSavedGroups({});
    port.SetPort("COM8");
    port.SaveSettings(ssIniFile, Path());
    EXPECT_EQ(ReadFile(), text);
    port.RestoreSettings(ssIniFile, Path());
    EXPECT_EQ(port.Port(), "COM8");
}

TEST_F(IniSettings, StoreFailuresBecomeCodes16And17) {
    const std::string unwritable = dir.path().toStdString() + "/missing/dir/x.ini";
    try {
        port.SaveSettings(ssIniFile, unwritable);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode(), 16);
        EXPECT_EQ(e.SystemCode(), -1);
        EXPECT_STREQ(e.what(), "Failed to store settings");
    }
    try {
        port.SaveSettings(ssRegistry, "HKEY_CURRENT_USER\\Software\\Scale");
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode(), 16);
    }
    try {
        port.RestoreSettings(ssRegistry, "HKEY_CURRENT_USER\\Software\\Scale");
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode(), 17);
        EXPECT_STREQ(e.what(), "Failed to load settings");
    }
}

TEST_F(IniSettings, RestoreOnAnOpenPortAppliesOnceAndReportsApplyFailure) {
    platform::FakeSerial fake;
    fake.AddDevice("COM1");
    TComPort open;
    open.SetEvents({});
    open.SetSavedGroups({sgBasic, sgBuffer, sgTimeouts});
    open.Open();
    fake.ClearCalls();
    WriteFile("[ComPort1]\nBaudRate=38400\nDataBits=7\nParity=Odd\nBuffer.InputSize=64\n"
              "Timeouts.ReadTotalConstant=9\n");
    open.RestoreSettings(ssIniFile, Path());
    EXPECT_EQ(fake.Ops(), (std::vector<std::string>{"SetupComm", "SetCommState", "SetCommTimeouts"}));
    EXPECT_EQ(fake.LastDcb().BaudRate, 38400u);
    EXPECT_EQ(fake.LastDcb().ByteSize, 7);
    EXPECT_EQ(fake.LastDcb().Parity, platform::ODDPARITY);
    EXPECT_EQ(fake.LastDcb().XonLim, 16);

    // A failing apply at the end of the batch is a load failure; the values stay.
    WriteFile("[ComPort1]\nBaudRate=1200\n");
    fake.FailNext("SetCommState", 5);
    try {
        open.RestoreSettings(ssIniFile, Path());
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode(), 17);
    }
    EXPECT_EQ(open.BaudRate(), br1200);
    // The batch was closed: the next change reaches the device.
    open.SetBaudRate(br2400);
    EXPECT_EQ(fake.LastDcb().BaudRate, 2400u);
}

TEST_F(IniSettings, AFifoInPlaceOfTheFileIsUnreadableAndNeverWaitedFor) {
    ASSERT_EQ(::mkfifo(Path().c_str(), 0644), 0);
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    int saveCode = 0;
    std::thread run([&] {
        port.RestoreSettings(ssIniFile, Path());
        try {
            port.SaveSettings(ssIniFile, Path());
        } catch (const EComPort& e) {
            saveCode = e.MessageCode();
        }
        done.set_value();
    });
    const bool inTime = finished.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    // A reader stuck on the FIFO is let go by a writer that comes and goes.
    while (finished.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        int fd = ::open(Path().c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
    }
    run.join();
    EXPECT_TRUE(inTime);
    EXPECT_EQ(port.Port(), "COM1");
    EXPECT_EQ(saveCode, 16); // not replaced by a plain file
    EXPECT_TRUE(std::filesystem::is_fifo(Path()));
}

TEST_F(IniSettings, ALoneCarriageReturnEndsTheLineAndLaterSavesStillWork) {
    WriteFile("[ComPort1]\nPort=COM3\r");
    port.RestoreSettings(ssIniFile, Path());
    EXPECT_EQ(port.Port(), "COM3");
    port.SetPort("COM4");
    EXPECT_NO_THROW(port.SaveSettings(ssIniFile, Path()));
    EXPECT_EQ(ReadFile().substr(0, 21), "[ComPort1]\nPort=COM4\r");
}

TEST_F(IniSettings, RestoreReadsTheFileOnceAndSaveWritesItOnce) {
    port.SetSavedGroups({sgBasic, sgFlowControl, sgBuffer, sgTimeouts, sgParity, sgOthers});
    WriteFile("[ComPort1]\nPort=COM2\n");
    const int in = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(in, 0);
    ASSERT_GE(::inotify_add_watch(in, dir.path().toLocal8Bit().constData(), IN_OPEN | IN_MOVED_TO), 0);
    // Counts the events on the settings file queued so far.
    auto count = [&](std::uint32_t mask) {
        int n = 0;
        alignas(inotify_event) char buf[65536];
        for (ssize_t len; (len = ::read(in, buf, sizeof buf)) > 0;)
            for (char* p = buf; p < buf + len;) {
                auto* e = reinterpret_cast<inotify_event*>(p);
                if ((e->mask & mask) && e->len && std::string(e->name) == "ComPortTest.ini") ++n;
                p += sizeof(inotify_event) + e->len;
            }
        return n;
    };
    port.RestoreSettings(ssIniFile, Path());
    EXPECT_EQ(port.Port(), "COM2");
    EXPECT_EQ(count(IN_OPEN), 1);
    port.SetPort("COM5");
    port.SaveSettings(ssIniFile, Path());
    EXPECT_EQ(count(IN_MOVED_TO), 1);
    ::close(in);
    EXPECT_NE(ReadFile().find("Timeouts.WriteTotalMultiplier="), std::string::npos);
}

} // namespace
