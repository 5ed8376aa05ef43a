#include "XmlDocument.h"

#include "AtomicFile.h"

#include <cstring>

namespace platform {

namespace {

// Comments, processing instructions and a doctype survive a load and a save.
// Whitespace text is kept so that a hand-formatted file keeps its layout, and
// line ends are not normalised so that texts come back byte for byte. Parsing
// as a fragment keeps text outside the root, which would otherwise be dropped
// silently, so that such a file can be refused.
constexpr unsigned ParseOptions = (pugi::parse_default | pugi::parse_comments | pugi::parse_pi |
                                   pugi::parse_doctype | pugi::parse_ws_pcdata | pugi::parse_fragment) &
                                  ~pugi::parse_eol;

constexpr const char* Declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

bool IsText(const pugi::xml_node& n) {
    return n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata;
}

void RequireNoChildElements(const pugi::xml_node& node) {
    for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling())
        if (c.type() == pugi::node_element)
            throw EXmlError(std::string("Element \"") + node.name() + "\" does not hold plain text");
}

// True when every "&" of the raw text starts a predefined entity or a
// character reference.
bool OnlyPredefinedReferences(const char* raw) {
    static const char* const Predefined[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"};
    for (const char* p = std::strchr(raw, '&'); p; p = std::strchr(p + 1, '&')) {
        if (p[1] == '#') continue; // malformed ones are refused by the parser
        bool known = false;
        for (const char* e : Predefined)
            known = known || std::strncmp(p, e, std::strlen(e)) == 0;
        if (!known) return false;
    }
    return true;
}

// Entities other than the five predefined ones are refused: the parser would
// keep "&name;" as text and the save would write it back escaped, changing
// what the file means. Expanding the file's own entities would need a full
// document-type reader guarded against exponential expansion, for a file this
// program never writes with a document type; refusing it keeps the file
// aside (the caller keeps it as .bad) and nothing is misread.
bool UsesOtherEntities(const std::string& contents) {
    pugi::xml_document raw;
    if (!raw.load_buffer(contents.data(), contents.size(), ParseOptions & ~pugi::parse_escapes,
                         pugi::encoding_auto))
        return false;
    struct Walker : pugi::xml_tree_walker {
        bool Found = false;
        bool for_each(pugi::xml_node& n) override {
            if (n.type() == pugi::node_pcdata && !OnlyPredefinedReferences(n.value())) Found = true;
            for (pugi::xml_attribute a : n.attributes())
                if (!OnlyPredefinedReferences(a.value())) Found = true;
            return !Found;
        }
    } walker;
    raw.traverse(walker);
    return walker.Found;
}

class StringWriter : public pugi::xml_writer {
public:
    explicit StringWriter(std::string& out) : FOut(out) {}
    void write(const void* data, size_t size) override { FOut.append(static_cast<const char*>(data), size); }

private:
    std::string& FOut;
};

} // namespace

std::string XmlElement::Name() const {
    return FNode.name();
}

XmlElement XmlElement::ChildByName(const std::string& name) const {
    if (!FNode) return {};
    // pugixml's child(name) also matches non-element nodes of that name; only
    // elements count here.
    for (pugi::xml_node c = FNode.first_child(); c; c = c.next_sibling())
        if (c.type() == pugi::node_element && name == c.name()) return XmlElement(c);
    return {};
}

XmlElement XmlElement::AppendChild(const std::string& name) {
    if (!FNode) throw EXmlError("Cannot append \"" + name + "\" to a missing element");
    pugi::xml_node c = FNode.append_child(pugi::node_element);
    if (!c || !c.set_name(name.c_str())) throw EXmlError("Cannot append element \"" + name + "\"");
    return XmlElement(c);
}

std::optional<std::string> XmlElement::Text() const {
    if (!FNode) throw EXmlError("Cannot read the text of a missing element");
    RequireNoChildElements(FNode);
    // Text split by a comment is still the element's text.
    std::optional<std::string> text;
    for (pugi::xml_node c = FNode.first_child(); c; c = c.next_sibling()) {
        if (!IsText(c)) continue;
        if (!text) text.emplace();
        text->append(c.value());
    }
    return text;
}

void XmlElement::SetText(const std::string& value) {
    if (!FNode) throw EXmlError("Cannot set the text of a missing element");
    RequireNoChildElements(FNode);
    // XML cannot carry a zero byte; cutting the text there would lose data quietly.
    if (value.find('\0') != std::string::npos)
        throw EXmlError("A zero byte cannot be stored in \"" + Name() + "\"");
    while (pugi::xml_node c = FNode.first_child())
        FNode.remove_child(c);
    // An empty text leaves the element empty, as it reads back.
    if (value.empty()) return;
    pugi::xml_node t = FNode.append_child(pugi::node_pcdata);
    if (!t || !t.set_value(value.c_str())) throw EXmlError("Cannot set the text of \"" + Name() + "\"");
}

void XmlDocument::LoadFromFile(const std::string& path) {
    Close();
    std::string contents;
    if (!ReadWholeFile(path, contents)) throw EXmlError("Unable to read " + path);
    pugi::xml_parse_result r =
        FDoc.load_buffer(contents.data(), contents.size(), ParseOptions, pugi::encoding_auto);
    if (!r) {
        FDoc.reset();
        throw EXmlError(path + ": " + r.description() + " at offset " + std::to_string(r.offset));
    }
    // A well-formed document has exactly one root element and no text beside
    // it; pugixml also accepts files that no other reader would.
    int roots = 0;
    bool strayText = false;
    for (pugi::xml_node n = FDoc.first_child(); n;) {
        pugi::xml_node next = n.next_sibling();
        if (n.type() == pugi::node_element) ++roots;
        if (IsText(n)) {
            if (n.type() == pugi::node_cdata ||
                std::string(n.value()).find_first_not_of(" \t\r\n") != std::string::npos)
                strayText = true;
            FDoc.remove_child(n); // line breaks between top-level nodes
        }
        n = next;
    }
    if (roots != 1 || strayText || UsesOtherEntities(contents)) {
        FDoc.reset();
        throw EXmlError(path + ": not a single root element");
    }
    FActive = true;
    FFileName = path;
}

void XmlDocument::BeginEmpty() {
    Close();
    FActive = true;
}

void XmlDocument::Close() {
    FDoc.reset();
    FActive = false;
    FFileName.clear();
}

XmlElement XmlDocument::DocumentElement() const {
    if (!FActive) return {};
    return XmlElement(FDoc.document_element());
}

XmlElement XmlDocument::CreateRoot(const std::string& name) {
    if (!FActive) throw EXmlError("No document is open");
    if (FDoc.document_element()) throw EXmlError("The document already has a root element");
    pugi::xml_node root = FDoc.append_child(pugi::node_element);
    if (!root || !root.set_name(name.c_str())) throw EXmlError("Cannot create root element \"" + name + "\"");
    return XmlElement(root);
}

std::string XmlDocument::SaveToString() const {
    if (!FActive) throw EXmlError("No document is open");
    // Texts are written as the bytes they are; the declaration is always our
    // own (a loaded one is not kept), so it cannot name another encoding.
    std::string out = Declaration;
    StringWriter writer(out);
    FDoc.save(writer, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    return out;
}

void XmlDocument::SaveToFile(const std::string& path) const {
    std::string contents = SaveToString();
    try {
        WriteFileAtomically(path, contents);
    } catch (const std::exception& e) {
        throw EXmlError(e.what());
    }
}

} // namespace platform
