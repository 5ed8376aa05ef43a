#pragma once
// Shared by the scaledb-send tests: a private folder, tables, the simulated scale.
#include "send/SendProcess.h"
#include "tools/SimProcess.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <filesystem>
#include <fstream>
#include <string>
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

inline QJsonObject Json(const std::string& text) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}

} // namespace sendtest
