#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <filesystem>
#include <unistd.h>

#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

class SettingsDir : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FTemp.isValid());
        FRoot = FTemp.path().toStdString() + "/";
        FSavedXdg = qgetenv("XDG_CONFIG_HOME");
        FHadXdg = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(FRoot + "config"));
    }
    void TearDown() override {
        if (FHadXdg)
            qputenv("XDG_CONFIG_HOME", FSavedXdg);
        else
            qunsetenv("XDG_CONFIG_HOME");
        if (fs::exists(FRoot + "ro")) fs::permissions(FRoot + "ro", fs::perms::owner_all);
    }
    QTemporaryDir FTemp;
    std::string FRoot;
    QByteArray FSavedXdg;
    bool FHadXdg = false;
};

TEST_F(SettingsDir, WritableExecutableFolderKeepsTheSettingsBesideTheProgram) {
    const std::string exeDir = FRoot + "bin/";
    fs::create_directories(exeDir);
    EXPECT_EQ(platform::ChooseSettingsDir(exeDir), exeDir);
    // Deciding left nothing behind and made no per-user folder.
    EXPECT_TRUE(fs::is_empty(exeDir));
    EXPECT_FALSE(fs::exists(FRoot + "config"));
}

TEST_F(SettingsDir, FolderTheUserCannotWriteSendsTheSettingsToTheUsersConfigFolder) {
    std::string exeDir = FRoot + "ro/";
    fs::create_directories(exeDir);
    fs::permissions(exeDir, fs::perms::owner_read | fs::perms::owner_exec);
    // Permission bits do not stop root; /proc takes no new files from anyone.
    if (::geteuid() == 0) exeDir = "/proc/";
    const std::string chosen = platform::ChooseSettingsDir(exeDir);
    EXPECT_EQ(chosen, FRoot + "config/scaledb/");
    EXPECT_TRUE(fs::is_directory(chosen));
}

} // namespace
