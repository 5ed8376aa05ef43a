// The port list over a fake /sys and /dev tree: kernel names and the stable names
// that udev links to them.
#include "links/serial/CPort.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct FakeTree {
    FakeTree() {
        std::string templ = (fs::temp_directory_path() / "ports-XXXXXX").string();
        root = ::mkdtemp(templ.data());
        for (const char* tty : {"ttyUSB0", "ttyS0", "ttyACM0"})
            fs::create_directories(root / "sys" / tty / "device");
        fs::create_directories(root / "sys" / "tty1"); // a virtual terminal: no device
        fs::create_directories(root / "dev" / "serial" / "by-id");
        fs::create_directories(root / "dev" / "serial" / "by-path");
    }
    ~FakeTree() { fs::remove_all(root); }
    void Link(const std::string& name, const std::string& target) {
        fs::create_symlink(target, root / "dev" / "serial" / name);
    }
    std::vector<TSerialPortEntry> Entries() const {
        return SerialPortEntriesIn((root / "sys").string(), (root / "dev").string());
    }
    fs::path root;
};

} // namespace

TEST(PortList, StableNamesFollowTheKernelNameTheyPointTo) {
    FakeTree tree;
    tree.Link("by-id/usb-FTDI_FT232R_A10K-if00-port0", "../../ttyUSB0");
    tree.Link("by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", "../../ttyUSB0");
    tree.Link("by-id/usb-Arduino_Uno_7573-if00", "/dev/ttyACM0"); // absolute: the real /dev
    tree.Link("by-id/usb-Unplugged-if00-port0", "../../ttyUSB7"); // no such device any more
    tree.Link("by-id/not-a-port", "../../../etc/passwd");

    std::vector<std::string> names, labels;
    for (const TSerialPortEntry& e : tree.Entries()) {
        names.push_back(e.Name);
        labels.push_back(e.Device);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"/dev/ttyACM0", "/dev/serial/by-id/usb-Arduino_Uno_7573-if00",
                                               "/dev/ttyS0", "/dev/ttyUSB0",
                                               "/dev/serial/by-id/usb-FTDI_FT232R_A10K-if00-port0",
                                               "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"}));
    EXPECT_EQ(labels, (std::vector<std::string>{"", "/dev/ttyACM0", "", "", "/dev/ttyUSB0", "/dev/ttyUSB0"}));

    // A system without udev's folders lists the kernel names alone.
    fs::remove_all(tree.root / "dev" / "serial");
    std::vector<std::string> plain;
    ListSerialPortsIn((tree.root / "sys").string(), (tree.root / "dev").string(), plain);
    EXPECT_EQ(plain, (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyUSB0"}));
}
