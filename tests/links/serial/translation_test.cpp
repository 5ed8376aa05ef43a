// Error messages through the message catalogue. Runs a copy of this test
// program in a temporary directory with a catalogue beside it and a language
// whose system locale is not installed.
#include "links/serial/CPort.h"
#include "platform/Translate.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

constexpr const char* kChildFlag = "SCALEDB_TRANSLATION_CHILD";

// Runs only inside the copy started below.
TEST(TranslationChild, MessagesComeFromTheCatalogue) {
    if (!std::getenv(kChildFlag)) GTEST_SKIP() << "runs only in the child process";
    EXPECT_EQ(platform::TranslationLanguage(), "de_DE.UTF-8");
    EXPECT_STREQ(EComPort(1, 2).what(), "Port l\xc3\xa4sst sich nicht \xc3\xb6"
                                        "ffnen (Systemfehler: 2)");
    // Texts without a translation stay as they are.
    EXPECT_STREQ(EComPort(14).what(), "Cannot set property while connected");
    EXPECT_EQ(platform::Translate("cport", ""), "");
}

TEST(Translation, CatalogueBesideTheExecutableIsUsedWithoutAnInstalledLocale) {
    const QString msgfmt = QStandardPaths::findExecutable("msgfmt");
    if (msgfmt.isEmpty()) GTEST_SKIP() << "msgfmt not installed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString exe = dir.filePath("serial_tests_copy");
    ASSERT_TRUE(QFile::copy(QCoreApplication::applicationFilePath(), exe));
    ASSERT_TRUE(QDir(dir.path()).mkpath("locale/de/LC_MESSAGES"));

    QFile po(dir.filePath("cport.po"));
    ASSERT_TRUE(po.open(QIODevice::WriteOnly));
    po.write("msgid \"\"\n"
             "msgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
             "msgid \"Unable to open com port\"\n"
             "msgstr \"Port l\xc3\xa4sst sich nicht \xc3\xb6"
             "ffnen\"\n\n"
             "msgid \" (win error code: %d)\"\n"
             "msgstr \" (Systemfehler: %d)\"\n");
    po.close();
    QProcess compile;
    compile.start(msgfmt, {"-o", dir.filePath("locale/de/LC_MESSAGES/cport.mo"), po.fileName()});
    ASSERT_TRUE(compile.waitForFinished(10000));
    ASSERT_EQ(compile.exitCode(), 0) << compile.readAllStandardError().toStdString();

    QProcess child;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("LANG", "de_DE.UTF-8");
    env.remove("LANGUAGE");
    env.remove("LC_ALL");
    env.remove("LC_MESSAGES");
    env.insert(kChildFlag, "1");
    child.setProcessEnvironment(env);
    child.start(exe, {"--gtest_filter=TranslationChild.*"});
    ASSERT_TRUE(child.waitForFinished(30000));
    const std::string out = child.readAllStandardOutput().toStdString();
    EXPECT_EQ(child.exitCode(), 0) << out;
    EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
}

} // namespace
