#include "platform/AtomicFile.h"
#include "platform/XmlDocument.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using platform::EXmlError;
using platform::XmlDocument;
using platform::XmlElement;

namespace {

const std::string Decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

class XmlDocumentTest : public ::testing::Test {
protected:
    std::string Path(const std::string& name = "c.xml") const {
        return FDir.path().toStdString() + "/" + name;
    }
    void Put(const std::string& contents, const std::string& name = "c.xml") const {
        platform::WriteFileAtomically(Path(name), contents);
    }
    std::string Get(const std::string& name = "c.xml") const {
        std::string s;
        EXPECT_TRUE(platform::ReadWholeFile(Path(name), s));
        return s;
    }
    void Load(const std::string& contents) {
        Put(contents);
        FDoc.LoadFromFile(Path());
    }
    QTemporaryDir FDir;
    XmlDocument FDoc;
};

TEST_F(XmlDocumentTest, FilesThatAreNotWellFormedDoNotOpen) {
    for (const std::string bad : {"", "   ", "just text", "<a><b></a>", "<a/><b/>", "<a/>text", "<!--c-->"}) {
        Put(bad);
        EXPECT_THROW(FDoc.LoadFromFile(Path()), EXmlError) << bad;
        EXPECT_FALSE(FDoc.Active()) << bad;
        EXPECT_FALSE(FDoc.DocumentElement()) << bad;
    }
    EXPECT_THROW(FDoc.LoadFromFile(Path("absent.xml")), EXmlError);
    EXPECT_FALSE(FDoc.Active());
    // A failed load also closes a document that was open.
    Load("<a/>");
    EXPECT_TRUE(FDoc.Active());
    EXPECT_EQ(FDoc.FileName(), Path());
    EXPECT_THROW(FDoc.LoadFromFile(Path("absent.xml")), EXmlError);
    EXPECT_FALSE(FDoc.Active());
    EXPECT_THROW(FDoc.SaveToString(), EXmlError);
}

TEST_F(XmlDocumentTest, BuildsADocumentFromNothingWithoutAddedWhitespace) {
    EXPECT_THROW(FDoc.CreateRoot("R"), EXmlError); // nothing open yet
    FDoc.BeginEmpty();
    EXPECT_TRUE(FDoc.Active());
    EXPECT_TRUE(FDoc.FileName().empty());
    EXPECT_FALSE(FDoc.DocumentElement());
    XmlElement root = FDoc.CreateRoot("R");
    EXPECT_THROW(FDoc.CreateRoot("S"), EXmlError);
    XmlElement g = root.AppendChild("G");
    g.AppendChild("A").SetText("1");
    g.AppendChild("B");
    root.AppendChild("H").SetText("x");
    EXPECT_EQ(FDoc.DocumentElement().Name(), "R");
    EXPECT_EQ(FDoc.SaveToString(), Decl + "<R><G><A>1</A><B/></G><H>x</H></R>");
}

TEST_F(XmlDocumentTest, TextDistinguishesNoValueAndRefusesChildElements) {
    Load("<r><empty/><pair></pair><blank> </blank><t>v</t><mixed>a<b/>c</mixed>"
         "<split>a<!--c-->b</split><cd><![CDATA[<x>]]></cd></r>");
    XmlElement r = FDoc.DocumentElement();
    EXPECT_EQ(r.ChildByName("empty").Text(), std::nullopt);
    EXPECT_EQ(r.ChildByName("pair").Text(), std::nullopt);
    EXPECT_EQ(r.ChildByName("blank").Text(), std::optional<std::string>(" "));
    EXPECT_EQ(r.ChildByName("t").Text(), std::optional<std::string>("v"));
    EXPECT_EQ(r.ChildByName("split").Text(), std::optional<std::string>("ab"));
    EXPECT_EQ(r.ChildByName("cd").Text(), std::optional<std::string>("<x>"));
    XmlElement mixed = r.ChildByName("mixed");
    EXPECT_THROW(mixed.Text(), EXmlError);
    EXPECT_THROW(mixed.SetText("z"), EXmlError);
    EXPECT_THROW(r.Text(), EXmlError);
    EXPECT_THROW(XmlElement().Text(), EXmlError);
    EXPECT_THROW(XmlElement().SetText("z"), EXmlError);
    EXPECT_THROW(r.ChildByName("t").SetText(std::string("a\0b", 3)), EXmlError);
    EXPECT_EQ(r.ChildByName("t").Text(), std::optional<std::string>("v"));
    // Setting replaces all text; an empty text leaves an element without value.
    r.ChildByName("split").SetText("new");
    r.ChildByName("t").SetText("");
    EXPECT_EQ(r.ChildByName("split").Text(), std::optional<std::string>("new"));
    EXPECT_EQ(r.ChildByName("t").Text(), std::nullopt);
    EXPECT_NE(FDoc.SaveToString().find("<mixed>a<b/>c</mixed>"), std::string::npos); // untouched
}

TEST_F(XmlDocumentTest, ChildByNameIsExactAndFindsTheFirstElement) {
    Load("<r><?p x?><!--k--><k>1</k><K>2</K><k>3</k></r>");
    XmlElement r = FDoc.DocumentElement();
    EXPECT_EQ(r.ChildByName("k").Text(), std::optional<std::string>("1"));
    EXPECT_EQ(r.ChildByName("K").Text(), std::optional<std::string>("2"));
    EXPECT_FALSE(r.ChildByName("p"));
    EXPECT_FALSE(r.ChildByName("x"));
    EXPECT_FALSE(XmlElement().ChildByName("k"));
}

TEST_F(XmlDocumentTest, TextsSurviveASaveAndLoadByteForByte) {
    const std::vector<std::string> texts = {"a & b < c > d \"q\" 'a'",
                                            "\xb9\xe6\xea\xff (8-bit code page)",
                                            "za\xc5\xbc\xc3\xb3\xc5\x82 (UTF-8)",
                                            "  padded  ",
                                            "line\r\nbreak\rand\ttab",
                                            "]]>",
                                            " "};
    FDoc.BeginEmpty();
    XmlElement root = FDoc.CreateRoot("R");
    for (std::size_t i = 0; i < texts.size(); ++i)
        root.AppendChild(std::string("T").append(std::to_string(i))).SetText(texts[i]);
    FDoc.SaveToFile(Path());

    XmlDocument again;
    again.LoadFromFile(Path());
    XmlElement r = again.DocumentElement();
    for (std::size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(r.ChildByName(std::string("T").append(std::to_string(i))).Text(),
                  std::optional<std::string>(texts[i]))
            << i;
    EXPECT_EQ(again.SaveToString(), Get()); // and the file saves to the same bytes
}

TEST_F(XmlDocumentTest, LoadedContentOtherThanEntriesIsWrittenBack) {
    const std::string file = "<!--top--><cfg v=\"1\"><a x=\"y\">1</a><?pi data?><b><c/></b></cfg>";
    Load(file);
    FDoc.DocumentElement().AppendChild("n").SetText("2");
    EXPECT_EQ(FDoc.SaveToString(),
              Decl + "<!--top--><cfg v=\"1\"><a x=\"y\">1</a><?pi data?><b><c/></b><n>2</n></cfg>");
    // A hand-formatted file keeps its layout.
    Load("<?xml version=\"1.0\"?>\n<cfg>\n  <a>1</a>\n</cfg>\n");
    EXPECT_EQ(FDoc.DocumentElement().ChildByName("a").Text(), std::optional<std::string>("1"));
    EXPECT_EQ(FDoc.SaveToString(), Decl + "<cfg>\n  <a>1</a>\n</cfg>");
}

TEST_F(XmlDocumentTest, Latin1FileIsReadAsItsCharacters) {
    Load("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>caf\xe9</r>");
    EXPECT_EQ(FDoc.DocumentElement().Text(), std::optional<std::string>("caf\xc3\xa9"));
    // Written back under the declaration that matches what is written.
    EXPECT_EQ(FDoc.SaveToString(), Decl + "<r>caf\xc3\xa9</r>");
}

TEST_F(XmlDocumentTest, SaveReplacesTheFileAndFailsLoudly) {
    Put("old");
    FDoc.BeginEmpty();
    FDoc.CreateRoot("R").SetText("new");
    FDoc.SaveToFile(Path());
    EXPECT_EQ(Get(), Decl + "<R>new</R>");
    Put("plain file", "f");
    EXPECT_THROW(FDoc.SaveToFile(Path("f") + "/c.xml"), EXmlError);
    EXPECT_EQ(Get("f"), "plain file");
    FDoc.Close();
    EXPECT_THROW(FDoc.SaveToFile(Path()), EXmlError);
    EXPECT_EQ(Get(), Decl + "<R>new</R>");
}

} // namespace
