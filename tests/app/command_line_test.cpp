// The installed program as a shell or a session manager meets it.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

const QString kProgram = SCALEDB_BIN_DIR "/scaledb";

// Runs the program with no display at all: printing must not need one.
QByteArray RunHeadless(const QStringList& args, int& exitCode) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM");
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    p.setProcessEnvironment(env);
    p.start(kProgram, args);
    EXPECT_TRUE(p.waitForFinished(30000));
    exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return p.readAllStandardOutput();
}

TEST(CommandLine, VersionAndHelpPrintAndExitWithoutOpeningTheWindow) {
    int rc = -1;
    // The version the caption shows (" Scale database v1.01").
    EXPECT_EQ(RunHeadless({"--version"}, rc), "scaledb 1.01\n");
    EXPECT_EQ(rc, 0);
    const QByteArray help = RunHeadless({"--help"}, rc);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(help.startsWith("Usage: scaledb [--help | --version]\n")) << help.toStdString();
    EXPECT_TRUE(help.contains("~/.config/scaledb/"));
}

// Whether the process has put its own handler on `sig` yet.
bool Catches(qint64 pid, int sig) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1;
    return false;
}

TEST(CommandLine, SigtermClosesTheWindowAndSavesTheSettings) {
    // A private copy, so its settings land in a folder of this test's own.
    char templ[] = SCALEDB_BIN_DIR "/../testtmp/sigterm-XXXXXX";
    fs::create_directories(SCALEDB_BIN_DIR "/../testtmp");
    ASSERT_NE(::mkdtemp(templ), nullptr);
    const fs::path dir = templ;
    std::error_code ec;
    fs::create_hard_link(kProgram.toStdString(), dir / "scaledb", ec);
    if (ec) fs::copy_file(kProgram.toStdString(), dir / "scaledb");

    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.start(QString::fromStdString((dir / "scaledb").string()), {});
    ASSERT_TRUE(p.waitForStarted(30000));
    for (int i = 0; i < 600 && !Catches(p.processId(), SIGTERM) && p.state() == QProcess::Running; ++i)
        QThread::msleep(50);
    ASSERT_TRUE(Catches(p.processId(), SIGTERM));
    EXPECT_FALSE(fs::exists(dir / "config.xml"));

    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_TRUE(fs::exists(dir / "config.xml"));
    EXPECT_TRUE(fs::exists(dir / "ComPortTest.ini"));
    fs::remove_all(dir);
}

} // namespace
