// The bound lists and the port listing, without a dialog around them.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

#include "dialogs_support.h"
#include "links/serial/CPort.h"
#include "settings/CPortCtl.h"

namespace fs = std::filesystem;

namespace {

QStringList Entries(const QComboBox& combo) {
    QStringList list;
    for (int i = 0; i < combo.count(); ++i)
        list << combo.itemText(i);
    return list;
}

// A port list with chosen entries instead of the system's.
void SetPortEntries(TComComboBox& combo, const QStringList& entries) {
    combo.SetComProperty(cpPort);
    combo.clear();
    combo.addItems(entries);
}

struct TempDir {
    TempDir() {
        std::string templ = (fs::temp_directory_path() / "dlg-XXXXXX").string();
        path = ::mkdtemp(templ.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

} // namespace

TEST(ComComboBox, FillsTheTextFormsAndSelectsTheFirstWithoutAPort) {
    TComComboBox combo;
    combo.SetComProperty(cpBaudRate);
    EXPECT_EQ(Entries(combo),
              QStringList({"Custom", "110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200",
                           "38400", "56000", "57600", "115200", "128000", "256000"}));
    EXPECT_EQ(combo.currentIndex(), 0);
    combo.SetComProperty(cpFlowControl);
    EXPECT_EQ(Entries(combo), QStringList({"Hardware", "Software", "None", "Custom"}));
    combo.SetComProperty(cpStopBits);
    EXPECT_EQ(Entries(combo), QStringList({"1", "1.5", "2"}));
    combo.SetComProperty(cpNone);
    EXPECT_EQ(combo.count(), 0);
    EXPECT_EQ(combo.Text(), "");
    EXPECT_FALSE(combo.isEditable());
}

TEST(ComComboBox, TextSelectsWithoutRegardToCaseAndIgnoresUnknownTexts) {
    TComComboBox combo;
    combo.SetComProperty(cpParity);
    combo.SetText("eVeN");
    EXPECT_EQ(combo.Text(), "Even");
    combo.SetText("Even ");
    EXPECT_EQ(combo.Text(), "Even");
}

TEST(ComComboBox, BindingShowsThePortsValueAndApplyWritesThePick) {
    TComPort port;
    port.Parity().SetBits(prMark);
    TComComboBox combo;
    combo.SetComProperty(cpParity);
    combo.show();
    combo.SetComPort(&port);
    EXPECT_EQ(combo.Text(), "Mark");
    EXPECT_EQ(combo.Select().Parity(), prMark);

    int changes = 0;
    combo.OnChange = [&] { ++changes; };
    dlgtest::ChooseEntry(&combo, "Odd");
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(port.Parity().Bits(), prMark) << "a pick stays in the list until applied";
    combo.ApplyToPort();
    EXPECT_EQ(port.Parity().Bits(), prOdd);

    combo.SetAutoApply(true);
    dlgtest::ChooseEntry(&combo, "Space");
    EXPECT_EQ(port.Parity().Bits(), prSpace);
}

TEST(ComComboBox, FlowControlKindsAndTheCustomRate) {
    TComPort port;
    port.FlowControl().SetControlDTR(dtrEnable);
    port.FlowControl().SetXonXoffIn(true); // a mix no preset describes
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(250000);
    TComComboBox flow, rate;
    flow.SetComProperty(cpFlowControl);
    rate.SetComProperty(cpBaudRate);
    flow.SetComPort(&port);
    rate.SetComPort(&port);
    EXPECT_EQ(flow.Text(), "Custom");
    EXPECT_EQ(rate.Text(), "Custom");

    flow.ApplyToPort();
    rate.ApplyToPort();
    EXPECT_TRUE(port.FlowControl().XonXoffIn()) << "Custom leaves the individual settings";
    EXPECT_EQ(port.CustomBaudRate(), 250000);

    flow.show();
    dlgtest::ChooseEntry(&flow, "Hardware");
    flow.ApplyToPort();
    EXPECT_EQ(port.FlowControl().ControlRTS(), rtsHandshake);
    EXPECT_TRUE(port.FlowControl().OutCTSFlow());
    EXPECT_FALSE(port.FlowControl().XonXoffIn());
    EXPECT_EQ(port.FlowControl().ControlDTR(), dtrEnable);
}

TEST(ComComboBox, PortEntryIsFoundInAnySpellingOfTheSameDevice) {
    TempDir dir;
    const fs::path device = dir.path / "ttyUSB7";
    std::ofstream(device).put('x');
    const fs::path byId = dir.path / "usb-scale-if00";
    fs::create_symlink(device, byId);

    TComPort port;
    TComComboBox combo;
    port.SetPort("com1");
    SetPortEntries(combo, {"COM1", QString::fromStdString(device.string())});
    combo.SetComPort(&port);
    EXPECT_EQ(combo.Text(), "COM1");

    TComPort other;
    other.SetPort("COM1");
    SetPortEntries(combo, {"/dev/ttyS0", QString::fromStdString(device.string())});
    combo.SetComPort(&other);
    EXPECT_EQ(combo.Text(), "/dev/ttyS0");
    combo.ApplyToPort();
    EXPECT_EQ(other.Port(), "COM1") << "the same device keeps its spelling";

    TComPort linked;
    linked.SetPort(byId.string());
    combo.SetComPort(&linked);
    EXPECT_EQ(combo.Text(), device.string());
}

TEST(ComComboBox, PortNotAmongTheEntriesShowsNothingAndIsKeptOnApply) {
    TComPort port;
    port.SetPort("/dev/pts/99");
    TComComboBox combo;
    SetPortEntries(combo, {"/dev/ttyS0", "/dev/ttyUSB0"});
    combo.SetComPort(&port);
    EXPECT_EQ(combo.currentIndex(), -1);
    EXPECT_EQ(combo.Text(), "");
    combo.ApplyToPort();
    EXPECT_EQ(port.Port(), "/dev/pts/99");

    // A pick of another device is written.
    combo.show();
    dlgtest::ChooseEntry(&combo, "/dev/ttyUSB0");
    combo.ApplyToPort();
    EXPECT_EQ(port.Port(), "/dev/ttyUSB0");
}

TEST(ComComboBox, ForgetsARemovedPortAndSelectsTheFirstEntry) {
    TComPort port;
    port.SetDataBits(dbSeven);
    TComComboBox combo;
    combo.SetComProperty(cpDataBits);
    combo.SetComPort(&port);
    EXPECT_EQ(combo.Text(), "7");
    combo.PortRemoved(&port);
    EXPECT_EQ(combo.ComPort(), nullptr);
    EXPECT_EQ(combo.Text(), "5");
    combo.ApplyToPort(); // nothing bound: nothing to write, no crash
}

TEST(ComComboBox, ChoosingAStableNameStoresItAsThePort) {
    TComPort port;
    port.SetPort("/dev/ttyUSB0");
    TComComboBox combo;
    SetPortEntries(combo, {"/dev/ttyUSB0"});
    const QString stable = "/dev/serial/by-id/usb-FTDI_FT232R_A10K-if00-port0";
    combo.addItem(stable + " \u2192 /dev/ttyUSB0", stable);
    combo.SetComPort(&port);
    EXPECT_EQ(combo.Text(), "/dev/ttyUSB0");
    combo.show();
    dlgtest::ChooseEntry(&combo, stable + " \u2192 /dev/ttyUSB0");
    EXPECT_EQ(combo.Text(), stable.toStdString());
    combo.ApplyToPort();
    EXPECT_EQ(port.Port(), stable.toStdString());
}

TEST(PortList, ListsDevicesWithADriverAsPathsSortedWithoutCase) {
    TempDir dir;
    for (const char* name : {"ttyS10", "ttyS2", "ttyS1", "ttyUSB0", "TTYACM0", "tty0", "ptmx", "cciss!c0d0"})
        fs::create_directories(dir.path / name);
    for (const char* name : {"ttyS10", "ttyS2", "ttyS1", "ttyUSB0", "TTYACM0", "cciss!c0d0"})
        fs::create_directories(dir.path / name / "device");
    std::vector<std::string> list{"stale"};
    ListSerialPortsIn(dir.path.string(), list);
    EXPECT_EQ(list, (std::vector<std::string>{"/dev/cciss/c0d0", "/dev/TTYACM0", "/dev/ttyS1", "/dev/ttyS10",
                                              "/dev/ttyS2", "/dev/ttyUSB0"}));
}

TEST(PortList, UnreadableListingRaisesCode23WithTheSystemCode) {
    std::vector<std::string> list{"kept"};
    try {
        ListSerialPortsIn("/nonexistent/class/tty", list);
        FAIL() << "no exception";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode(), 23);
        EXPECT_EQ(e.SystemCode(), ENOENT);
        EXPECT_STREQ(e.what(), "Registry error (win error code: 2)");
    }
    EXPECT_EQ(list, std::vector<std::string>{"kept"});
}
