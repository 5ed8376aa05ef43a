#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "transfer/DatabaseFile.h"

namespace {

TableData Parse(const std::string& contents) {
    TableParser p(contents.size());
    p.Feed(contents.data(), contents.size());
    return p.Finish();
}

// Feeds the text one byte at a time, as a slow read would deliver it.
TableData ParseBytewise(const std::string& contents) {
    TableParser p;
    for (char c : contents)
        if (!p.Feed(&c, 1)) break;
    return p.Finish();
}

std::vector<std::vector<std::string>> Cells(const TableData& t) {
    std::vector<std::vector<std::string>> out;
    for (int r = 0; r < t.RowCount(); ++r) {
        out.emplace_back();
        for (int c = 0; c < t.ColCount(); ++c)
            out.back().emplace_back(t.Cell(c, r));
    }
    return out;
}

using Grid = std::vector<std::vector<std::string>>;

} // namespace

TEST(DatabaseFile, ShortRowsArePaddedToTheWidestRow) {
    TableData t = Parse("a;b;c\nd;e\n");
    EXPECT_EQ(t.RowCount(), 2);
    EXPECT_EQ(t.ColCount(), 3);
    EXPECT_EQ(Cells(t), (Grid{{"a", "b", "c"}, {"d", "e", ""}}));
    // Records always carry the grid's full column count.
    EXPECT_EQ(t.RecordText(1, 3), "d;e;");
    EXPECT_EQ(t.RecordText(0, 3), "a;b;c");
}

TEST(DatabaseFile, TrailingSeparatorAddsAnEmptyLastField) {
    TableData t = Parse("a;b;");
    EXPECT_EQ(t.ColCount(), 3);
    EXPECT_EQ(Cells(t), (Grid{{"a", "b", ""}}));
}

TEST(DatabaseFile, EmptyLinesTakeNoRowButBlankLinesDo) {
    TableData t = Parse("\n\nx;y\n\n  \n\r\nz\n");
    EXPECT_EQ(Cells(t), (Grid{{"x", "y"}, {"  ", ""}, {"z", ""}}));
}

TEST(DatabaseFile, QuotesAreOrdinaryCharacters) {
    TableData t = Parse("\"a;b\";\"c\"\n");
    EXPECT_EQ(Cells(t), (Grid{{"\"a", "b\"", "\"c\""}}));
}

TEST(DatabaseFile, EmptyFileGivesOneEmptyCell) {
    for (const char* text : {"", "\n\n\r\n",
                             "\x1a"
                             "a;b;c\n"}) {
        TableData t = Parse(text);
        EXPECT_EQ(t.RowCount(), 1) << text;
        EXPECT_EQ(t.ColCount(), 1) << text;
        EXPECT_EQ(t.Cell(0, 0), "") << text;
        EXPECT_EQ(t.RecordText(0, 1), "") << text;
    }
}

TEST(DatabaseFile, LineEndsLfAndCrLfLoadAlikeAndLoneCrIsDropped) {
    EXPECT_EQ(Cells(Parse("1;a\r\n2;b\r\n")), Cells(Parse("1;a\n2;b\n")));
    EXPECT_EQ(Cells(Parse("a\rb;c\r\n")), (Grid{{"ab", "c"}}));
    // The same whether the bytes come in one piece or one at a time.
    const std::string text = "x;\r\ny\rz;w;v\n\n\x1ajunk;more\n";
    EXPECT_EQ(Cells(Parse(text)), Cells(ParseBytewise(text)));
}

TEST(DatabaseFile, CtrlZEndsTheFile) {
    TableData t = Parse("a;b\nc\x1a;d\ne;f;g\n");
    EXPECT_EQ(Cells(t), (Grid{{"a", "b"}, {"c", ""}}));
}

TEST(DatabaseFile, AByteOrderMarkOnlyAtTheVeryStartIsDropped) {
    const std::string bom = "\xEF\xBB\xBF";
    for (auto parse : {Parse, ParseBytewise}) {
        EXPECT_EQ(Cells(parse(bom + "1001;Apples\n" + bom + "x;y\n")),
                  (Grid{{"1001", "Apples"}, {bom + "x", "y"}}));
        EXPECT_EQ(Cells(parse(bom)), (Grid{{""}}));
        EXPECT_EQ(Cells(parse(bom + bom + "a")), (Grid{{bom + "a"}}));
        // The start of a mark that is not one stays data.
        EXPECT_EQ(Cells(parse("\xEF\xBB;\n")), (Grid{{"\xEF\xBB", ""}}));
        EXPECT_EQ(Cells(parse("\xEF")), (Grid{{"\xEF"}}));
    }
}

TEST(DatabaseFile, EveryOtherByteValueReachesTheCellUnchanged) {
    std::string cell;
    for (int b = 0; b < 256; ++b)
        if (b != ';' && b != '\r' && b != '\n' && b != 26) cell.push_back(static_cast<char>(b));
    TableData t = Parse(cell + ";" + cell + "\n");
    ASSERT_EQ(t.ColCount(), 2);
    EXPECT_EQ(t.Cell(0, 0), cell);
    EXPECT_EQ(t.Cell(1, 0), cell);
    EXPECT_EQ(t.RecordText(0, 2), cell + ";" + cell);
}

TEST(DatabaseFile, FreshWindowTableSendsFourSeparatorsPerRow) {
    TableData t = TableData::Empty(5, 5);
    EXPECT_EQ(t.RowCount(), 5);
    EXPECT_EQ(t.ColCount(), 5);
    for (int r = 0; r < 5; ++r)
        EXPECT_EQ(t.RecordText(r, 5), ";;;;");
}

TEST(DatabaseFile, LoadReadsFromDiskAndFailsWholeOnErrors) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("scaledb-load-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path file = dir / "t.csv";
    std::ofstream(file, std::ios::binary) << "1001;Apples;2.50\r\n1002;Pears;3.10\r\n";
    TableData t = LoadDatabaseFile(file.string());
    EXPECT_EQ(Cells(t), (Grid{{"1001", "Apples", "2.50"}, {"1002", "Pears", "3.10"}}));

    EXPECT_THROW(LoadDatabaseFile((dir / "missing.csv").string()), EInOutError);
    // A directory opens but cannot be read: a read error, not a half table.
    try {
        LoadDatabaseFile(dir.string());
        ADD_FAILURE() << "reading a directory must fail";
    } catch (const EInOutError& e) {
        EXPECT_NE(e.ErrorCode(), 0);
    }
    // Devices and pipes are refused at once instead of hanging or growing forever.
    EXPECT_THROW(LoadDatabaseFile("/dev/zero"), EInOutError);
    const fs::path fifo = dir / "pipe.csv";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_THROW(LoadDatabaseFile(fifo.string()), EInOutError);
    fs::remove_all(dir);
}
