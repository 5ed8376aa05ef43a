#include "platform/AtomicFile.h"
#include "platform/IniFile.h"

#include "platform/XmlDocument.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using platform::TIniFile;

namespace {

class IniFileTest : public ::testing::Test {
protected:
    std::string Path(const std::string& name = "test.ini") const {
        return FDir.path().toStdString() + "/" + name;
    }
    void Put(const std::string& contents, const std::string& name = "test.ini") const {
        platform::WriteFileAtomically(Path(name), contents);
    }
    std::string Get(const std::string& name = "test.ini") const {
        std::string s;
        EXPECT_TRUE(platform::ReadWholeFile(Path(name), s));
        return s;
    }
    QTemporaryDir FDir;
};

TEST_F(IniFileTest, MissingFileReadsDefaultsAndFirstWriteCreatesIt) {
    TIniFile ini(Path());
    EXPECT_EQ(ini.ReadString("ComPort1", "Port", "COM1"), "COM1");
    EXPECT_EQ(ini.ReadInteger("ComPort1", "Baud", 9600), 9600);
    ini.WriteString("ComPort1", "Port", "COM3");
    EXPECT_EQ(Get(), "[ComPort1]\nPort=COM3\n");
    EXPECT_EQ(ini.FileName(), Path());
}

TEST_F(IniFileTest, FindsSectionAndKeyIgnoringCaseAndBlanks) {
    Put("Port=outside\n[Other]\nPort=wrong\n  [ comport1 ]  \n ; Port=comment\n  PORT  =  COM7  \n[x]\n");
    TIniFile ini(Path());
    EXPECT_EQ(ini.ReadString("ComPort1", "port", "def"), "COM7");
    EXPECT_EQ(ini.ReadString("ComPort1", "Missing", "def"), "def");
    // A key of another section, or before any section, is not this section's.
    EXPECT_EQ(ini.ReadString("X", "Port", "def"), "def");
    EXPECT_EQ(ini.ReadString("", "Port", "def"), "def");
}

TEST_F(IniFileTest, ReplacesOnlyTheKeyLineAndKeepsEveryOtherByte) {
    const std::string before = "; head\r\n[A]\r\nPort=COM1\r\nBaud = 9600\r\n\r\n[B]\nbaud=1\n;tail";
    Put(before);
    TIniFile ini(Path());
    ini.WriteString("a", "BAUD", "19200");
    EXPECT_EQ(Get(), "; head\r\n[A]\r\nPort=COM1\r\nBAUD=19200\r\n\r\n[B]\nbaud=1\n;tail");
    EXPECT_EQ(ini.ReadString("B", "Baud", ""), "1");
    EXPECT_EQ(ini.ReadString("A", "Baud", ""), "19200");
}

TEST_F(IniFileTest, NewKeyGoesAfterTheSectionsLastKeyBeforeTrailingBlanksAndComments) {
    Put("[A]\r\nx=1\r\n; about B\r\n\r\n[B]\r\ny=2\r\n");
    TIniFile ini(Path());
    ini.WriteString("A", "z", "3");
    EXPECT_EQ(Get(), "[A]\r\nx=1\r\nz=3\r\n; about B\r\n\r\n[B]\r\ny=2\r\n");
    // A section without keys gets it right below its header.
    Put("[A]\n\n[B]\ny=2\n");
    ini.WriteString("A", "z", "3");
    EXPECT_EQ(Get(), "[A]\nz=3\n\n[B]\ny=2\n");
}

TEST_F(IniFileTest, MissingFinalNewlineIsEndedBeforeAppending) {
    Put("[A]\nx=1");
    TIniFile ini(Path());
    ini.WriteString("A", "y", "2");
    EXPECT_EQ(Get(), "[A]\nx=1\ny=2\n");
    Put("[A]\r\nx=1");
    ini.WriteString("New", "k", "v");
    EXPECT_EQ(Get(), "[A]\r\nx=1\r\n[New]\r\nk=v\r\n");
    // The last line replaced in place keeps having no line end.
    ini.WriteString("NEW", "K", "w");
    EXPECT_EQ(Get(), "[A]\r\nx=1\r\n[New]\r\nK=w\r\n");
    Put("[A]\nx=1");
    ini.WriteString("A", "x", "5");
    EXPECT_EQ(Get(), "[A]\nx=5");
}

TEST_F(IniFileTest, ValuesAreBytesAndReadsAreCappedAt2047) {
    TIniFile ini(Path());
    const std::string bytes = "\xb9\xe6\xff=x;[y]";
    ini.WriteString("S", "k", bytes);
    EXPECT_EQ(ini.ReadString("S", "k", ""), bytes);
    ini.WriteString("S", "long", std::string(3000, 'a'));
    EXPECT_EQ(ini.ReadString("S", "long", ""), std::string(TIniFile::MaxValueLength, 'a'));
    EXPECT_NE(Get().find("long=" + std::string(3000, 'a') + "\n"), std::string::npos); // all of it stored
}

TEST_F(IniFileTest, EntriesThatWouldNotReadBackAreRefusedAndTheFileKept) {
    Put("[A]\nx=1\n");
    TIniFile ini(Path());
    EXPECT_THROW(ini.WriteString("A", "x", "1\n[B]\ny=2"), std::invalid_argument);
    EXPECT_THROW(ini.WriteString("A", "x=y", "1"), std::invalid_argument);
    EXPECT_THROW(ini.WriteString("A]", "x", "1"), std::invalid_argument);
    EXPECT_THROW(ini.WriteString("A", "", "1"), std::invalid_argument);
    EXPECT_EQ(Get(), "[A]\nx=1\n");
}

TEST_F(IniFileTest, WriteFailureThrowsTheDocumentedMessage) {
    Put("not a directory", "file");
    const std::string path = Path("file") + "/test.ini";
    TIniFile ini(path);
    try {
        ini.WriteString("A", "x", "1");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
    }
    EXPECT_EQ(Get("file"), "not a directory");
}

TEST_F(IniFileTest, AnExistingButUnreadablePathIsNotReplaced) {
    ASSERT_TRUE(QDir(FDir.path()).mkdir("sub.ini"));
    TIniFile ini(Path("sub.ini"));
    EXPECT_EQ(ini.ReadString("A", "x", "d"), "d");
    EXPECT_THROW(ini.WriteString("A", "x", "1"), std::runtime_error);
    EXPECT_TRUE(QFileInfo(QString::fromStdString(Path("sub.ini"))).isDir());
}

TEST_F(IniFileTest, IntegersAndBools) {
    Put("[N]\nhex=0x1F\nHexAll= 0XffFFffFF \nneg=-42\nplus=+7\nbare0x=0x\nbad=12abc\nbig=2147483648\n"
        "min=-2147483648\nempty=\nsign=-\n");
    TIniFile ini(Path());
    EXPECT_EQ(ini.ReadInteger("N", "hex", 0), 31);
    EXPECT_EQ(ini.ReadInteger("n", "HEXALL", 0), -1);
    EXPECT_EQ(ini.ReadInteger("N", "neg", 0), -42);
    EXPECT_EQ(ini.ReadInteger("N", "plus", 0), 7);
    EXPECT_EQ(ini.ReadInteger("N", "min", 0), INT32_MIN);
    for (const char* k : {"bare0x", "bad", "big", "empty", "sign", "absent"})
        EXPECT_EQ(ini.ReadInteger("N", k, 99), 99) << k;

    ini.WriteInteger("N", "neg", -5);
    EXPECT_EQ(ini.ReadInteger("N", "neg", 0), -5);
    ini.WriteBool("B", "on", true);
    ini.WriteBool("B", "off", false);
    EXPECT_TRUE(ini.ReadBool("B", "on", false));
    EXPECT_FALSE(ini.ReadBool("B", "off", true));
    EXPECT_TRUE(ini.ReadBool("N", "hex", false));
    EXPECT_TRUE(ini.ReadBool("B", "absent", true));
    EXPECT_FALSE(ini.ReadBool("N", "bad", false));
}

TEST_F(IniFileTest, NamesWithBlanksAroundThemAreWrittenAsTheyAreFound) {
    TIniFile ini(Path());
    ini.WriteString("ComPort1 ", " Port", "COM3");
    ini.WriteString("ComPort1 ", "Port ", "COM4");
    EXPECT_EQ(Get(), "[ComPort1]\nPort=COM4\n");
    EXPECT_EQ(ini.ReadString(" ComPort1", " Port ", ""), "COM4");
}

TEST_F(IniFileTest, AByteOrderMarkIsSkippedOnReadingAndKeptOnWriting) {
    Put("\xEF\xBB\xBF[ComPort1]\r\nPort=COM3\r\n");
    TIniFile ini(Path());
    EXPECT_EQ(ini.ReadString("ComPort1", "Port", ""), "COM3");
    ini.WriteString("ComPort1", "Port", "COM4");
    EXPECT_EQ(Get(), "\xEF\xBB\xBF[ComPort1]\r\nPort=COM4\r\n");
}

TEST_F(IniFileTest, WritingThroughASymbolicLinkReplacesItsTarget) {
    ASSERT_EQ(::mkdir(Path("real").c_str(), 0755), 0);
    Put("[A]\nx=1\n", "real/settings.ini");
    ASSERT_EQ(::symlink("real/settings.ini", Path().c_str()), 0);
    TIniFile ini(Path());
    ini.WriteString("A", "x", "2");
    EXPECT_TRUE(QFileInfo(QString::fromStdString(Path())).isSymLink());
    EXPECT_EQ(Get("real/settings.ini"), "[A]\nx=2\n");
    EXPECT_EQ(QDir(QString::fromStdString(Path("real"))).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST_F(IniFileTest, AReadOnlyFileIsLeftAsItIs) {
    Put("[A]\nx=1\n");
    Put("<r/>", "config.xml");
    ASSERT_EQ(::chmod(Path().c_str(), 0444), 0);
    ASSERT_EQ(::chmod(Path("config.xml").c_str(), 0444), 0);
    TIniFile ini(Path());
    EXPECT_THROW(ini.WriteString("A", "x", "2"), std::runtime_error);
    platform::XmlDocument doc;
    doc.LoadFromFile(Path("config.xml"));
    EXPECT_THROW(doc.SaveToFile(Path("config.xml")), platform::EXmlError);
    EXPECT_EQ(Get(), "[A]\nx=1\n");
    EXPECT_EQ(Get("config.xml"), "<r/>");
}

TEST_F(IniFileTest, ANewKeyEndsAsTheLineBeforeItSoNoLineEndsMerge) {
    // The file's first line end is a lone CR; the new key's must not meet the
    // LF of the empty line after it.
    Put("[A]\rx=1\n\n[B]\n");
    TIniFile ini(Path());
    ini.WriteString("A", "z", "3");
    EXPECT_EQ(Get(), "[A]\rx=1\nz=3\n\n[B]\n");
}

} // namespace
