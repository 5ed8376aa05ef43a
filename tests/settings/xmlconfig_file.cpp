#include "platform/AtomicFile.h"
#include "platform/XmlDocument.h"
#include "settings/XMLConfig.h"

#include <QTemporaryDir>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string Decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

// Builds a config.xml from its eleven entry texts; an entry given as
// nullptr is left out, one given as "<>" is written as an empty element.
struct Entries {
    const char* OrdersFileName = "/o.xml";
    const char* WindRow = "No";
    const char* WindRowMode = "0";
    const char* WindRowChar = "$00";
    const char* SaveASCII = "Yes";
    const char* InsertTime = "No";
    const char* ChangePointToColon = "No";
    const char* Kind = "Eth";
    const char* Protocol = "UDP";
    const char* Host = "10.0.0.7";
    const char* Port = "4001";
    std::string Root = "TesmarConfig";

    static std::string One(const char* name, const char* text) {
        if (!text) return "";
        if (std::string(text) == "<>") return "<" + std::string(name) + "/>";
        return "<" + std::string(name) + ">" + text + "</" + name + ">";
    }
    std::string Xml() const {
        return Decl + "<" + Root + "><Options>" + One("OrdersFileName", OrdersFileName) +
               One("WindRow", WindRow) + One("WindRowMode", WindRowMode) + One("WindRowChar", WindRowChar) +
               One("SaveASCII", SaveASCII) + One("InsertTime", InsertTime) +
               One("ChangePointToColon", ChangePointToColon) + "</Options><Interface>" + One("Kind", Kind) +
               One("Protocol", Protocol) + One("Host", Host) + One("Port", Port) + "</Interface></" + Root +
               ">";
    }
};

class XmlConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FDir.isValid());
        FExeDir = FDir.path().toStdString() + "/";
    }

    std::string ConfigPath(const std::string& suffix = "") const { return FExeDir + "config.xml" + suffix; }
    void Put(const std::string& contents, const std::string& suffix = "") const {
        platform::WriteFileAtomically(ConfigPath(suffix), contents);
    }
    std::string Get(const std::string& suffix = "") const {
        std::string s;
        EXPECT_TRUE(platform::ReadWholeFile(ConfigPath(suffix), s)) << ConfigPath(suffix);
        return s;
    }
    bool Exists(const std::string& suffix) const {
        return QFile::exists(QString::fromStdString(ConfigPath(suffix)));
    }

    // One run of the program as far as the configuration goes: start, then
    // close (with `duringRun` standing for the user's changes in between).
    void Start() {
        FDoc = std::make_unique<settings::ConfigDocument>();
        settings::PrepareConfig(*FDoc, FExeDir);
        settings::ReadConfig(*FDoc, FValues);
    }
    void Close() { settings::SaveConfig(*FDoc, FExeDir, FValues); }

    QTemporaryDir FDir;
    std::string FExeDir;
    std::unique_ptr<settings::ConfigDocument> FDoc;
    // The values as a fresh run has them, under the window's names.
    settings::Config FValues;
    std::uint8_t& Kind = FValues.Link.Kind;
    std::uint8_t& Protocol = FValues.Link.Protocol;
    std::string& Host = FValues.Link.Host;
    std::int32_t& Port = FValues.Link.Port;
    std::string& OrdersFileName = FValues.Options.OrdersFileName;
    bool& WindRow = FValues.Options.WindRow;
    std::uint8_t& WindRowMode = FValues.Options.WindRowMode;
    std::string& WindRowChar = FValues.Options.WindRowChar;
    bool& SaveASCII = FValues.Options.SaveASCII;
    bool& InsertTime = FValues.Options.InsertTime;
    bool& ChangePointToColon = FValues.Options.ChangePointToColon;
};

TEST_F(XmlConfigTest, FirstStartReadsDefaultsAndCloseWritesTheWholeDocument) {
    Start();
    EXPECT_EQ(Kind, 0);
    EXPECT_EQ(Protocol, 0);
    EXPECT_EQ(Host, "192.168.1.100");
    EXPECT_EQ(Port, 1001);
    EXPECT_EQ(OrdersFileName, FExeDir + "orders.xml");
    EXPECT_FALSE(WindRow);
    EXPECT_EQ(WindRowMode, 0);
    EXPECT_EQ(WindRowChar, "$00");
    EXPECT_TRUE(SaveASCII);
    EXPECT_FALSE(InsertTime);
    EXPECT_FALSE(ChangePointToColon);
    EXPECT_FALSE(Exists("")); // written at close only
    Close();
    EXPECT_EQ(Get(), Decl + "<TesmarConfig><Options><OrdersFileName>" + FExeDir +
                         "orders.xml</OrdersFileName><WindRow>No</WindRow><WindRowMode>0</WindRowMode>"
                         "<WindRowChar>$00</WindRowChar><SaveASCII>Yes</SaveASCII><InsertTime>No</InsertTime>"
                         "<ChangePointToColon>No</ChangePointToColon></Options><Interface><Kind>COM</Kind>"
                         "<Protocol>TCP</Protocol><Host>192.168.1.100</Host><Port>1001</Port></Interface>"
                         "</TesmarConfig>");
    EXPECT_FALSE(Exists(".bad"));
}

TEST_F(XmlConfigTest, AWrittenFileReadsBackAndChangesOfTheRunAreSaved) {
    Entries e;
    e.WindRow = "Yes";
    e.WindRowChar = "\xb9;";
    e.SaveASCII = "No";
    e.InsertTime = "Yes";
    e.ChangePointToColon = "yes"; // letter case matters
    Put(e.Xml());
    Start();
    EXPECT_EQ(Kind, 1);
    EXPECT_EQ(Protocol, 1);
    EXPECT_EQ(Host, "10.0.0.7");
    EXPECT_EQ(Port, 4001);
    EXPECT_EQ(OrdersFileName, "/o.xml");
    EXPECT_TRUE(WindRow);
    EXPECT_EQ(WindRowChar, "\xb9;");
    EXPECT_FALSE(SaveASCII);
    EXPECT_TRUE(InsertTime);
    EXPECT_FALSE(ChangePointToColon);
    Close();
    e.ChangePointToColon = "No";
    EXPECT_EQ(Get(), e.Xml());

    // What the connection dialog changes appears in the file at close.
    Start();
    Kind = 0;
    Protocol = 0;
    Host = "127.0.0.1";
    Port = 5000;
    EXPECT_EQ(Get(), e.Xml());
    Close();
    e.Kind = "COM";
    e.Protocol = "TCP";
    e.Host = "127.0.0.1";
    e.Port = "5000";
    EXPECT_EQ(Get(), e.Xml());
}

TEST_F(XmlConfigTest, ForeignRootAndOtherContentStayAndMissingEntriesAreAppended) {
    Put(Decl + "<Cfg a=\"1\"><Interface><Port>7</Port><Extra>x</Extra></Interface><!--c--><Options/></Cfg>");
    Start();
    EXPECT_EQ(Port, 7);
    EXPECT_EQ(Host, "192.168.1.100"); // added with its default, then read
    Close();
    EXPECT_EQ(Get(), Decl +
                         "<Cfg a=\"1\"><Interface><Port>7</Port><Extra>x</Extra><Kind>COM</Kind>"
                         "<Protocol>TCP</Protocol><Host>192.168.1.100</Host></Interface><!--c--><Options>"
                         "<OrdersFileName>" +
                         FExeDir +
                         "orders.xml</OrdersFileName><WindRow>No</WindRow><WindRowMode>0</WindRowMode>"
                         "<WindRowChar>$00</WindRowChar><SaveASCII>Yes</SaveASCII><InsertTime>No</InsertTime>"
                         "<ChangePointToColon>No</ChangePointToColon></Options></Cfg>");
}

TEST_F(XmlConfigTest, KindAndProtocolMatchExactlyOrFallBackToSerialTcp) {
    Entries e;
    e.Kind = "eth";
    e.Protocol = "udp";
    Put(e.Xml());
    Start();
    EXPECT_EQ(Kind, 0);
    EXPECT_EQ(Protocol, 0);
    Close();
    EXPECT_NE(Get().find("<Kind>COM</Kind><Protocol>TCP</Protocol>"), std::string::npos);

    e.Kind = "<>";
    e.Protocol = "<>";
    Put(e.Xml());
    Kind = 1;
    Protocol = 1;
    Start();
    EXPECT_EQ(Kind, 0);
    EXPECT_EQ(Protocol, 0);
}

struct PortCase {
    const char* Text;
    std::int32_t Read;
    const char* Written;
};

void PrintTo(const PortCase& c, std::ostream* os) {
    *os << '"' << c.Text << '"';
}

class XmlConfigPortTest : public XmlConfigTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(XmlConfigPortTest, PortReadsAndWritesBack) {
    Entries e;
    e.Port = GetParam().Text;
    Put(e.Xml());
    Start();
    EXPECT_EQ(Port, GetParam().Read);
    Close();
    e.Port = GetParam().Written;
    EXPECT_EQ(Get(), e.Xml());
}

INSTANTIATE_TEST_SUITE_P(Texts, XmlConfigPortTest,
                         ::testing::Values(PortCase{"0", 1001, "1001"}, PortCase{"-5", 1001, "1001"},
                                           PortCase{"abc", 1001, "1001"}, PortCase{"70000", 70000, "70000"},
                                           PortCase{"$1F", 31, "31"}, PortCase{" 80", 80, "80"},
                                           PortCase{"80 ", 1001, "1001"},
                                           PortCase{"99999999999", 1001, "1001"}));

TEST_F(XmlConfigTest, WindRowModeKeepsItsLowByteAndIsWrittenAsSigned) {
    for (auto [text, read, written] : {std::tuple{"300", 44, "44"},
                                       {"200", 200, "0"},
                                       {"-1", 255, "0"},
                                       {"127", 127, "127"},
                                       {"x", 0, "0"}}) {
        Entries e;
        e.WindRowMode = text;
        Put(e.Xml());
        Start();
        EXPECT_EQ(WindRowMode, read) << text;
        Close();
        e.WindRowMode = written;
        EXPECT_EQ(Get(), e.Xml()) << text;
    }
}

TEST_F(XmlConfigTest, AnEmptyEntryCostsOnlyItself) {
    Entries e;
    e.WindRowMode = "<>";
    e.Host = "<>";
    e.OrdersFileName = "<>";
    e.WindRowChar = "<>";
    e.WindRow = "<>";
    e.SaveASCII = "<>";
    Put(e.Xml());
    WindRowMode = 9; // entries without a fallback keep what they had
    SaveASCII = true;
    Start();
    EXPECT_EQ(WindRowMode, 9);
    EXPECT_EQ(Host, "");
    EXPECT_EQ(OrdersFileName, "");
    EXPECT_EQ(WindRowChar, "");
    EXPECT_FALSE(WindRow);
    EXPECT_FALSE(SaveASCII);
    // The link settings after them are still read.
    EXPECT_EQ(Kind, 1);
    EXPECT_EQ(Protocol, 1);
    EXPECT_EQ(Port, 4001);

    // An empty OrdersFileName does not stop the save: the run's settings are kept.
    Port = 4002;
    Close();
    e.OrdersFileName = "<>";
    e.WindRow = "No";
    e.SaveASCII = "No";
    e.WindRowMode = "9";
    e.WindRowChar = "<>";
    e.Host = "192.168.1.100";
    e.Port = "4002";
    EXPECT_EQ(Get(), e.Xml());
}

TEST_F(XmlConfigTest, AnEntryHoldingElementsIsSkippedAndTheRestStillReadAndSaved) {
    Entries e;
    e.Host = "<a>1</a>";
    e.Kind = "<b/>";
    e.SaveASCII = "<c/>";
    Put(e.Xml());
    SaveASCII = true;
    Kind = 0;
    Start();
    EXPECT_EQ(Host, "");
    EXPECT_EQ(Kind, 0);
    EXPECT_FALSE(SaveASCII);
    EXPECT_EQ(Port, 4001);
    EXPECT_EQ(Protocol, 1);
    Port = 4003;
    Close();
    e.SaveASCII = "<c/>"; // cannot take a text, left as it was
    e.Port = "4003";
    EXPECT_EQ(Get(), e.Xml());
}

TEST_F(XmlConfigTest, AMalformedFileIsKeptAsBadAndReplacedByTheRunsSettings) {
    const std::string broken = "<TesmarConfig><Interface><Host>10.1.1.1</Host></Interface>";
    Put("an older bad file", ".bad");
    Put(broken);
    Start();
    EXPECT_EQ(Host, "192.168.1.100");
    EXPECT_EQ(Get(), broken); // nothing is written before the close
    Host = "10.1.1.2";
    Close();
    EXPECT_EQ(Get(".bad"), broken);
    EXPECT_NE(Get().find("<Host>10.1.1.2</Host>"), std::string::npos);

    // The next run loads the new file; the kept one stays as it is.
    Start();
    EXPECT_EQ(Host, "10.1.1.2");
    Close();
    EXPECT_EQ(Get(".bad"), broken);
}

TEST_F(XmlConfigTest, AFileThatCannotBeWrittenLosesNothingThatWasThere) {
    Entries e;
    Put(e.Xml());
    Start();
    Host = "10.9.9.9";
    // The file system refuses new data (as on a full disk); root is not exempt.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = old;
    tiny.rlim_cur = 16;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    Close();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(Get(), e.Xml());
    EXPECT_EQ(QDir(FDir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1); // no temporary left

    // Nor when the directory itself cannot hold the file.
    platform::WriteFileAtomically(FExeDir + "plain", "x");
    FExeDir += "plain/";
    Start();
    EXPECT_EQ(Port, 1001);
    Close();
    EXPECT_FALSE(QFileInfo(QString::fromStdString(FExeDir + "config.xml")).exists());
}

TEST_F(XmlConfigTest, AMalformedFileThatCannotBeKeptIsNotReplaced) {
    Put("<broken");
    Start();
    Host = "10.1.1.2";
    ASSERT_TRUE(QDir(FDir.path()).mkdir("config.xml.bad")); // the copy cannot be written
    Close();
    EXPECT_EQ(Get(), "<broken");
}

TEST_F(XmlConfigTest, AFifoNamedConfigXmlIsUnreadableAndNeverWaitedFor) {
    ASSERT_EQ(::mkfifo(ConfigPath().c_str(), 0644), 0);
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::string started;
    std::thread run([&] {
        Start();
        started = Host;
        Host = "10.1.1.2";
        Close();
        done.set_value();
    });
    const bool inTime = finished.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    // A reader stuck on the FIFO is let go by a writer that comes and goes.
    while (finished.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        int fd = ::open(ConfigPath().c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
    }
    run.join();
    EXPECT_TRUE(inTime);
    EXPECT_EQ(started, "192.168.1.100");
    EXPECT_NE(Get().find("<Host>10.1.1.2</Host>"), std::string::npos);
    EXPECT_TRUE(QFileInfo(QString::fromStdString(ConfigPath(".bad"))).exists()); // the FIFO, moved aside
    EXPECT_FALSE(QFileInfo(QString::fromStdString(ConfigPath(".bad"))).isFile());
}

TEST_F(XmlConfigTest, AFileThatUsesItsOwnEntitiesIsKeptAsBadAndNotMisread) {
    Entries e;
    e.Host = "&h;";
    std::string xml = e.Xml();
    xml.insert(Decl.size(), "<!DOCTYPE TesmarConfig [<!ENTITY h \"10.0.0.9\">]>");
    Put(xml);
    Start();
    EXPECT_EQ(Host, "192.168.1.100");
    EXPECT_EQ(Port, 1001);
    Close();
    EXPECT_EQ(Get(".bad"), xml);
    EXPECT_EQ(Get().find("&amp;h;"), std::string::npos);
}

} // namespace
