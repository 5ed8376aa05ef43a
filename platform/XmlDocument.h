#pragma once
// A small XML document over pugixml with the semantics the configuration
// file needs: an element without text has no value, content that is not plain
// text cannot be read or set as text, and nothing is indented on save.
#include <optional>
#include <pugixml.hpp>
#include <stdexcept>
#include <string>

namespace platform {

// Raised for every failure of the document: unreadable or malformed file,
// element content that is not text, no document open, a file not written.
class EXmlError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A handle to an element of an XmlDocument. A null handle stands for "no such
// element". Handles stay valid while the document keeps its tree; loading or
// beginning another document invalidates them.
class XmlElement {
public:
    XmlElement() = default;

    bool IsNull() const { return !FNode; }
    explicit operator bool() const { return static_cast<bool>(FNode); }

    std::string Name() const;

    // The first child element with exactly this name, or a null handle.
    XmlElement ChildByName(const std::string& name) const;
    // Appends a new, empty child element as the last child.
    XmlElement AppendChild(const std::string& name);

    // The element's text; std::nullopt when the element holds no text at all.
    // Throws EXmlError when it holds child elements.
    std::optional<std::string> Text() const;
    // Replaces the element's content by `value` (bytes, written unchanged).
    // Throws EXmlError when it holds child elements.
    void SetText(const std::string& value);

private:
    friend class XmlDocument;
    explicit XmlElement(pugi::xml_node node) : FNode(node) {}
    pugi::xml_node FNode;
};

class XmlDocument {
public:
    XmlDocument() = default;
    XmlDocument(const XmlDocument&) = delete;
    XmlDocument& operator=(const XmlDocument&) = delete;

    // Opens the file. Throws EXmlError when it cannot be read or is not
    // well-formed; the document is then closed (Active() false).
    void LoadFromFile(const std::string& path);
    // Begins an empty, open document bound to no file.
    void BeginEmpty();
    // Drops the tree; Active() becomes false.
    void Close();

    bool Active() const { return FActive; }
    // The file the document was loaded from; empty for a begun document.
    const std::string& FileName() const { return FFileName; }

    // The root element, or a null handle when there is none (or no document).
    XmlElement DocumentElement() const;
    // Creates the root element. Throws EXmlError when there is no open
    // document or it already has a root.
    XmlElement CreateRoot(const std::string& name);

    // The whole document as written to a file: an UTF-8 declaration, then the
    // tree with no whitespace added. Throws EXmlError when no document is open.
    std::string SaveToString() const;
    // Replaces the file at `path` atomically with SaveToString().
    // Throws EXmlError when no document is open or the file cannot be written.
    void SaveToFile(const std::string& path) const;

private:
    pugi::xml_document FDoc;
    bool FActive = false;
    std::string FFileName;
};

} // namespace platform
