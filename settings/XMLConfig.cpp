#include "XMLConfig.h"

#include "platform/AtomicFile.h"

#include <cstdio>
#include <functional>
#include <sys/stat.h>

#include "links/ethernet/LinkState.h"

namespace settings {

namespace {

const char* const RootName = "TesmarConfig";
const char* const Options = "Options";
const char* const Interface = "Interface";
const char* const DefaultHost = "192.168.1.100";
const char* const DefaultPort = "1001";

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

void PrepareConfig(ConfigDocument& config, const std::string& exeDir) {
    platform::XmlDocument& doc = config.Xml;
    const std::string path = ConfigPath(exeDir);
    config.LoadFailed = false;
    if (PathExists(path)) {
        try {
            doc.LoadFromFile(path);
        } catch (...) {
            config.LoadFailed = true;
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

void ReadConfig(ConfigDocument& config, Config& values) {
    platform::XmlDocument& doc = config.Xml;
    if (!doc.Active()) return;
    CarriedOptions& o = values.Options;
    LinkSettings& link = values.Link;
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

    text("OrdersFileName", o.OrdersFileName);
    flag("WindRow", o.WindRow);
    // WindRowMode, Host and Port without a value keep what they had (value() throws).
    ReadOne(doc, Options, "WindRowMode", [&](const Value& v) {
        o.WindRowMode = static_cast<std::uint8_t>(TextToIntDef(v.value(), 0) & 0xFF);
    });
    text("WindRowChar", o.WindRowChar);
    flag("SaveASCII", o.SaveASCII);
    flag("InsertTime", o.InsertTime);
    flag("ChangePointToColon", o.ChangePointToColon);
    ReadOne(doc, Interface, "Kind",
            [&](const Value& v) { link.Kind = (v && *v == "Eth") ? KindEthernet : KindSerial; });
    ReadOne(doc, Interface, "Protocol",
            [&](const Value& v) { link.Protocol = (v && *v == "UDP") ? ProtocolUDP : ProtocolTCP; });
    ReadOne(doc, Interface, "Host", [&](const Value& v) { link.Host = v.value(); });
    ReadOne(doc, Interface, "Port", [&](const Value& v) {
        std::int32_t p = TextToIntDef(v.value(), 0);
        link.Port = p > 0 ? p : 1001;
    });
}

void SaveConfig(ConfigDocument& config, const std::string& exeDir, const Config& values) {
    platform::XmlDocument& doc = config.Xml;
    if (!doc.Active()) return;
    const CarriedOptions& o = values.Options;
    const LinkSettings& link = values.Link;
    // Each entry is written on its own: one element that cannot take its
    // text must not cost the user every other setting of the run.
    auto write = [&](const char* group, const char* name, bool condition, const std::string& ifFalse,
                     const std::string& ifTrue) {
        try {
            WriteEntry(group, name, condition, ifFalse, ifTrue, doc);
        } catch (...) {
        }
    };
    const std::int8_t mode = static_cast<std::int8_t>(o.WindRowMode);
    write(Options, "OrdersFileName", true, "", o.OrdersFileName);
    write(Options, "WindRow", o.WindRow, "No", "Yes");
    write(Options, "WindRowMode", mode >= 0, "0", std::to_string(mode));
    write(Options, "WindRowChar", true, "", o.WindRowChar);
    write(Options, "SaveASCII", o.SaveASCII, "No", "Yes");
    write(Options, "InsertTime", o.InsertTime, "No", "Yes");
    write(Options, "ChangePointToColon", o.ChangePointToColon, "No", "Yes");
    write(Interface, "Kind", link.Kind == KindEthernet, "COM", "Eth");
    write(Interface, "Protocol", link.Protocol == ProtocolUDP, "TCP", "UDP");
    write(Interface, "Host", !link.Host.empty(), DefaultHost, link.Host);
    write(Interface, "Port", link.Port > 0, DefaultPort, std::to_string(link.Port));

    const std::string path = ConfigPath(exeDir);
    try {
        if (config.LoadFailed) {
            if (!KeepBadConfig(path)) return;
            config.LoadFailed = false;
        }
        doc.SaveToFile(path);
    } catch (...) {
        // Nothing to report: the previous file is still in place.
    }
}

} // namespace settings
