#include "XMLConfig.h"

#include "app/Global.h"
#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "platform/XmlDocument.h"

#include <cstdio>
#include <functional>
#include <sys/stat.h>

namespace {

const char* const RootName = "TesmarConfig";
const char* const Options = "Options";
const char* const Interface = "Interface";
const char* const DefaultHost = "192.168.1.100";
const char* const DefaultPort = "1001";

// Set when config.xml existed at start but did not load: it is kept as
// config.xml.bad before the file is replaced at close.
bool ConfigLoadFailed = false;

std::string ConfigPath(const std::string& exeDir) {
    return exeDir + "config.xml";
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The first child element `name` of the root's first `group`, or null.
platform::XmlElement Entry(platform::XmlDocument& doc, const std::string& group, const std::string& name) {
    platform::XmlElement root = doc.DocumentElement();
    if (!root) return {};
    platform::XmlElement g = root.ChildByName(group);
    if (!g) return {};
    return g.ChildByName(name);
}

void EnsureEntry(const std::string& group, const std::string& name, const std::string& def,
                 platform::XmlDocument& doc) {
    platform::XmlElement g = doc.DocumentElement().ChildByName(group);
    if (!g) throw platform::EXmlError("Missing group " + group);
    // An existing element stays as it is, even when it is empty.
    if (g.ChildByName(name)) return;
    g.AppendChild(name).SetText(def);
}

bool ReadYesNo(const std::string& group, const std::string& name, platform::XmlDocument& doc) {
    std::optional<std::string> v = Entry(doc, group, name).Text();
    return v && *v == "Yes";
}

void WriteEntry(const std::string& group, const std::string& name, bool condition, const std::string& ifFalse,
                const std::string& ifTrue, platform::XmlDocument& doc) {
    platform::XmlElement e = Entry(doc, group, name);
    if (!e) throw platform::EXmlError("Missing entry " + group + "/" + name);
    e.SetText(condition ? ifTrue : ifFalse);
}

// Runs one entry's read; an entry that cannot be read costs only itself.
void ReadOne(platform::XmlDocument& doc, const std::string& group, const std::string& name,
             const std::function<void(const std::optional<std::string>&)>& apply,
             const std::function<void()>& onFailure = {}) {
    try {
        platform::XmlElement e = Entry(doc, group, name);
        if (!e) return;
        apply(e.Text());
    } catch (...) {
        if (onFailure) onFailure();
    }
}

// Keeps a config.xml that did not load: its bytes go to config.xml.bad before
// it is replaced. Returns false when they could not be kept.
bool KeepBadConfig(const std::string& path) {
    if (!PathExists(path)) return true;
    std::string contents;
    try {
        if (platform::ReadWholeFile(path, contents)) {
            platform::WriteFileAtomically(path + ".bad", contents);
            return true;
        }
    } catch (...) {
        return false;
    }
    // Unreadable (not even its bytes, such as a FIFO): move it aside instead,
    // as long as it is not a folder, which is nothing this program made.
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    return std::rename(path.c_str(), (path + ".bad").c_str()) == 0;
}

} // namespace

void PrepareConfig(platform::XmlDocument& doc, const std::string& exeDir) {
    const std::string path = ConfigPath(exeDir);
    ConfigLoadFailed = false;
    if (PathExists(path)) {
        try {
            doc.LoadFromFile(path);
        } catch (...) {
            ConfigLoadFailed = true;
        }
    }
    try {
        if (!doc.Active()) doc.BeginEmpty();
        if (!doc.DocumentElement()) doc.CreateRoot(RootName);
        platform::XmlElement root = doc.DocumentElement();
        if (!root.ChildByName(Options)) root.AppendChild(Options);
        EnsureEntry(Options, "OrdersFileName", exeDir + "orders.xml", doc);
        EnsureEntry(Options, "WindRow", "No", doc);
        EnsureEntry(Options, "WindRowMode", "0", doc);
        EnsureEntry(Options, "WindRowChar", "$00", doc);
        EnsureEntry(Options, "SaveASCII", "Yes", doc);
        EnsureEntry(Options, "InsertTime", "No", doc);
        EnsureEntry(Options, "ChangePointToColon", "No", doc);
        if (!root.ChildByName(Interface)) root.AppendChild(Interface);
        EnsureEntry(Interface, "Kind", "COM", doc);
        EnsureEntry(Interface, "Protocol", "TCP", doc);
        EnsureEntry(Interface, "Host", DefaultHost, doc);
        EnsureEntry(Interface, "Port", DefaultPort, doc);
    } catch (...) {
        // Whatever was added so far stays.
    }
}

void ReadConfig(platform::XmlDocument& doc) {
    if (!doc.Active()) return;
    using Value = std::optional<std::string>;
    auto flag = [&](const char* name, bool& var) {
        try {
            if (Entry(doc, Options, name)) var = ReadYesNo(Options, name, doc);
        } catch (...) {
            var = false;
        }
    };
    // A text entry without text reads as empty.
    auto text = [&](const char* name, std::string& var) {
        ReadOne(
            doc, Options, name, [&](const Value& v) { var = v.value_or(std::string()); },
            [&] { var.clear(); });
    };

    text("OrdersFileName", OrdersFileName);
    flag("WindRow", WindRow);
    // WindRowMode, Host and Port without a value keep what they had (value() throws).
    ReadOne(doc, Options, "WindRowMode", [](const Value& v) {
        WindRowMode = static_cast<std::uint8_t>(TextToIntDef(v.value(), 0) & 0xFF);
    });
    text("WindRowChar", WindRowChar);
    flag("SaveASCII", SaveASCII);
    flag("InsertTime", InsertTime);
    flag("ChangePointToColon", ChangePointToColon);
    ReadOne(doc, Interface, "Kind",
            [](const Value& v) { Kind = (v && *v == "Eth") ? KindEthernet : KindSerial; });
    ReadOne(doc, Interface, "Protocol",
            [](const Value& v) { Protocol = (v && *v == "UDP") ? ProtocolUDP : ProtocolTCP; });
    ReadOne(doc, Interface, "Host", [](const Value& v) { Host = v.value(); });
    ReadOne(doc, Interface, "Port", [](const Value& v) {
        std::int32_t p = TextToIntDef(v.value(), 0);
        Port = p > 0 ? p : 1001;
    });
}

void SaveConfig(platform::XmlDocument& doc, const std::string& exeDir) {
    if (!doc.Active()) return;
    // Each entry is written on its own: one element that cannot take its
    // text must not cost the user every other setting of the run.
    auto write = [&](const char* group, const char* name, bool condition, const std::string& ifFalse,
                     const std::string& ifTrue) {
        try {
            WriteEntry(group, name, condition, ifFalse, ifTrue, doc);
        } catch (...) {
        }
    };
    const std::int8_t mode = static_cast<std::int8_t>(WindRowMode);
    write(Options, "OrdersFileName", true, "", OrdersFileName);
    write(Options, "WindRow", WindRow, "No", "Yes");
    write(Options, "WindRowMode", mode >= 0, "0", std::to_string(mode));
    write(Options, "WindRowChar", true, "", WindRowChar);
    write(Options, "SaveASCII", SaveASCII, "No", "Yes");
    write(Options, "InsertTime", InsertTime, "No", "Yes");
    write(Options, "ChangePointToColon", ChangePointToColon, "No", "Yes");
    write(Interface, "Kind", Kind == KindEthernet, "COM", "Eth");
    write(Interface, "Protocol", Protocol == ProtocolUDP, "TCP", "UDP");
    write(Interface, "Host", !Host.empty(), DefaultHost, Host);
    write(Interface, "Port", Port > 0, DefaultPort, std::to_string(Port));

    const std::string path = ConfigPath(exeDir);
    try {
        if (ConfigLoadFailed) {
            if (!KeepBadConfig(path)) return;
            ConfigLoadFailed = false;
        }
        doc.SaveToFile(path);
    } catch (...) {
        // Nothing to report: the previous file is still in place.
    }
}
