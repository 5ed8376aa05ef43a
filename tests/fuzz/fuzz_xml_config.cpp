// config.xml, whatever it holds: the file saved at close loads at the next
// start and gives the values of the run as they were written (when every
// entry could take its text), and a second start and close changes nothing.
// The input's bytes also make the values of a run: what its close writes, the
// next start reads as they were, byte for byte.
#include "platform/AtomicFile.h"
#include "platform/XmlDocument.h"
#include "settings/XMLConfig.h"

#include "FuzzUtil.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <tuple>

namespace {

using Values = std::tuple<std::uint8_t, std::uint8_t, std::string, std::int32_t, std::string, bool,
                          std::uint8_t, std::string, bool, bool, bool>;

Values Now(const settings::Config& c) {
    const settings::LinkSettings& l = c.Link;
    const settings::CarriedOptions& o = c.Options;
    return {l.Kind,        l.Protocol,    l.Host,      l.Port,       o.OrdersFileName,    o.WindRow,
            o.WindRowMode, o.WindRowChar, o.SaveASCII, o.InsertTime, o.ChangePointToColon};
}

// A run: the values as a fresh process has them, start, close.
Values Run(const std::string& dir, bool* allText = nullptr) {
    settings::Config values;
    settings::ConfigDocument config;
    settings::PrepareConfig(config, dir);
    settings::ReadConfig(config, values);
    const platform::XmlDocument& doc = config.Xml;
    const Values v = Now(values);
    if (allText) {
        // Whether every entry can take its text at close.
        *allText = true;
        static const char* const Names[][2] = {{"Options", "OrdersFileName"},
                                               {"Options", "WindRow"},
                                               {"Options", "WindRowMode"},
                                               {"Options", "WindRowChar"},
                                               {"Options", "SaveASCII"},
                                               {"Options", "InsertTime"},
                                               {"Options", "ChangePointToColon"},
                                               {"Interface", "Kind"},
                                               {"Interface", "Protocol"},
                                               {"Interface", "Host"},
                                               {"Interface", "Port"}};
        for (const auto& n : Names) {
            try {
                platform::XmlElement e = doc.DocumentElement().ChildByName(n[0]).ChildByName(n[1]);
                if (!e)
                    *allText = false;
                else
                    e.Text();
            } catch (...) {
                *allText = false;
            }
        }
    }
    settings::SaveConfig(config, dir, values);
    return v;
}

// The values as the close writes them and the next start reads them.
Values Written(Values v) {
    auto& [kind, protocol, host, port, orders, windRow, mode, windChar, ascii, insertTime, colon] = v;
    if (host.empty()) host = "192.168.1.100";
    if (port <= 0) port = 1001;
    if (static_cast<std::int8_t>(mode) < 0) mode = 0;
    (void)kind, (void)protocol, (void)orders, (void)windRow, (void)windChar, (void)ascii, (void)insertTime,
        (void)colon;
    return v;
}

// Values of a run taken from the input. Kind and Protocol are what reading
// can give; a zero byte cannot be stored and is left out.
Values Made(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    auto text = [&] {
        std::string s = in.ConsumeRandomLengthString(80);
        s.erase(std::remove(s.begin(), s.end(), '\0'), s.end());
        return s;
    };
    Values v;
    auto& [kind, protocol, host, port, orders, windRow, mode, windChar, ascii, insertTime, colon] = v;
    orders = text();
    windChar = text();
    host = text();
    kind = in.ConsumeBool() ? 1 : 0;
    protocol = in.ConsumeBool() ? 1 : 0;
    port = in.ConsumeIntegral<std::int32_t>();
    mode = in.ConsumeIntegral<std::uint8_t>();
    windRow = in.ConsumeBool();
    ascii = in.ConsumeBool();
    insertTime = in.ConsumeBool();
    colon = in.ConsumeBool();
    return v;
}

// A first start in an empty folder that ends with the values `v`.
void CloseWith(const std::string& dir, const Values& v) {
    ::unlink((dir + "config.xml").c_str());
    settings::ConfigDocument config;
    settings::PrepareConfig(config, dir);
    settings::Config c;
    settings::LinkSettings& l = c.Link;
    settings::CarriedOptions& o = c.Options;
    std::tie(l.Kind, l.Protocol, l.Host, l.Port, o.OrdersFileName, o.WindRow, o.WindRowMode, o.WindRowChar,
             o.SaveASCII, o.InsertTime, o.ChangePointToColon) = v;
    settings::SaveConfig(config, dir, c);
}

std::string Read(const std::string& path) {
    std::string s;
    platform::ReadWholeFile(path, s);
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string dir = fuzz::ScratchDir();
    const std::string path = dir + "config.xml";
    ::unlink((path + ".bad").c_str());
    fuzz::PutFile(path, std::string(reinterpret_cast<const char*>(data), size));

    bool allText = false;
    const Values first = Run(dir, &allText);
    const Values second = Run(dir);
    // (An entry that holds elements keeps them, and what reading it gives.)
    if (allText) FUZZ_CHECK(second == Written(first));
    const std::string saved = Read(path);
    const Values third = Run(dir);
    FUZZ_CHECK(third == second);
    FUZZ_CHECK(Read(path) == saved);

    static const std::string madeDir = [&] {
        std::string d = dir + "made/";
        FUZZ_CHECK(::mkdir(d.c_str(), 0755) == 0);
        return d;
    }();
    const Values made = Made(data, size);
    CloseWith(madeDir, made);
    FUZZ_CHECK(Run(madeDir) == Written(made));
    return 0;
}
