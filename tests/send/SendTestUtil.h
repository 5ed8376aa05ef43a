#pragma once
// Shared by the scaledb-send tests: a private folder, tables, the simulated scale.
// Set in a ThreadSanitizer build, where a few tests cannot mean what they say.
#if defined(__SANITIZE_THREAD__)
#define SCALEDB_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SCALEDB_TSAN 1
#endif
#endif

#include "send/SendProcess.h"
#include "tools/SimProcess.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace sendtest {

const std::string kWorkedExample = "1001;Apples;2.50\n1002;Pears;3.10\n";
// What the window sends for it (tests/app and tests/links/ethernet pin the same bytes).
const std::string kWorkedExampleWire = "SbP\r\nSr1001;Apples;2.50\r\nSr1002;Pears;3.10\r\nSe\r\n";

class SendTest : public ::testing::Test {
protected:
    SendTest() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "scaledb-send-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        dir_ = tmpl;
    }
    ~SendTest() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    std::string Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(Path(name), std::ios::binary) << bytes;
        return Path(name);
    }
    // A named pipe that nobody writes to.
    std::string Fifo(const std::string& name) const {
        EXPECT_EQ(::mkfifo(Path(name).c_str(), 0600), 0);
        return Path(name);
    }
    // Rows "1;Item 1;1.00" ... of a table of `rows` rows.
    std::string Table(int rows, const std::string& name = "table.csv") const {
        std::string t;
        for (int r = 1; r <= rows; ++r)
            t += std::to_string(r) + ";Item " + std::to_string(r) + ";" + std::to_string(r) + ".00\n";
        return Write(name, t);
    }
    static std::string Wire(int rows) {
        std::string w = "SbP\r\n";
        for (int r = 1; r <= rows; ++r)
            w +=
                "Sr" + std::to_string(r) + ";Item " + std::to_string(r) + ";" + std::to_string(r) + ".00\r\n";
        return w + "Se\r\n";
    }
    static std::string Tcp(int port) { return "tcp:127.0.0.1:" + std::to_string(port); }
    static std::string Udp(int port) { return "udp:127.0.0.1:" + std::to_string(port); }

    std::string dir_;
};

// Lines of a text, without their LF.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t lf; (lf = text.find('\n', start)) != std::string::npos; start = lf + 1)
        out.push_back(text.substr(start, lf - start));
    if (start < text.size()) out.push_back(text.substr(start));
    return out;
}

// The final line of `target` in the command's output.
inline std::string LineOf(const std::string& output, const std::string& target) {
    for (const auto& l : Lines(output))
        if (l.rfind(target + " ", 0) == 0) return l;
    return "";
}

// Local UDP port 1001 is the program's own; other test runs on this machine (outside
// this CTest run's lock) may hold it for a while. Waits until it is free and returns
// it bound (the caller holds it), or -1 after a minute.
inline int TakeUdp1001() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(1001);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
        ::close(fd);
        if (errno != EADDRINUSE || std::chrono::steady_clock::now() > deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}
// Waits until local UDP port 1001 is free, for a run of the command that binds it.
inline void WaitForUdp1001() {
    const int fd = TakeUdp1001();
    if (fd >= 0) ::close(fd);
}

inline QJsonObject Json(const std::string& text) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}

} // namespace sendtest
