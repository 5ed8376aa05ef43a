#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <filesystem>

#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

TEST(DataDir, FollowsTheSettingsBesideTheProgramElseTheUsersDataFolder) {
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const std::string root = temp.path().toStdString() + "/";
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    const bool had = qEnvironmentVariableIsSet("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(root + "data"));

    const std::string exeDir = root + "bin/";
    fs::create_directories(exeDir);
    fs::create_directory_symlink(exeDir, root + "link");
    // A copy that keeps its settings beside itself keeps its history there too,
    // however the folder is spelt.
    EXPECT_EQ(platform::ChooseDataDir(exeDir, exeDir), exeDir);
    EXPECT_EQ(platform::ChooseDataDir(exeDir, root + "link/"), exeDir);
    EXPECT_FALSE(fs::exists(root + "data"));

    // Settings in the per-user folder: data in the per-user data folder, made when missing.
    const std::string chosen = platform::ChooseDataDir(exeDir, root + "config/scaledb/");
    EXPECT_EQ(chosen, root + "data/scaledb/");
    EXPECT_TRUE(fs::is_directory(chosen));

    if (had)
        qputenv("XDG_DATA_HOME", saved);
    else
        qunsetenv("XDG_DATA_HOME");
}

// Restores one environment variable when the test ends.
class SetEnv {
public:
    SetEnv(const char* name, const std::string& value)
        : name_(name), had_(qEnvironmentVariableIsSet(name)), saved_(qgetenv(name)) {
        qputenv(name, QByteArray::fromStdString(value));
    }
    ~SetEnv() {
        if (had_)
            qputenv(name_, saved_);
        else
            qunsetenv(name_);
    }

private:
    const char* name_;
    bool had_;
    QByteArray saved_;
};

TEST(ServiceFolders, TheFoldersSystemdMadeWinOverTheProgramsAndTheHomeFolder) {
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const std::string root = temp.path().toStdString() + "/";
    const std::string exeDir = root + "bin/";
    fs::create_directories(exeDir);
    // A service user's home is /nonexistent: nothing may be looked for or made there.
    SetEnv home("HOME", root + "nonexistent");
    SetEnv config("CONFIGURATION_DIRECTORY", root + "etc/scaledb:" + root + "etc/other");
    SetEnv state("STATE_DIRECTORY", root + "lib/scaledb");
    EXPECT_EQ(platform::ChooseSettingsDir(exeDir), root + "etc/scaledb/");
    EXPECT_EQ(platform::ChooseDataDir(exeDir, exeDir), root + "lib/scaledb/");
    EXPECT_FALSE(fs::exists(root + "nonexistent"));

    // A relative value is no folder systemd made.
    SetEnv relative("STATE_DIRECTORY", "lib/scaledb");
    EXPECT_EQ(platform::ChooseDataDir(exeDir, exeDir), exeDir);
}

} // namespace
