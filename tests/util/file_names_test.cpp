// Names that reach the store become file and folder names.
#include "util/file_names.h"

#include <gtest/gtest.h>

TEST(FileNames, OnlyNamesThatStayInsideTheirFolderAreValid) {
    for (const wchar_t* good : {L"Rock", L"a b", L"Ünïcødé", L"x.y", L".hidden", L"con-fusion", L"COM10", L"LPT0"}) {
        EXPECT_TRUE(util::is_valid_file_name(good)) << "refused a plain name";
    }
    const wchar_t* const bad[] = {L"", L".", L"..", L"a\\b", L"a/b", L"a:b", L"a*b", L"a?b", L"a\"b", L"a<b",
                                  L"a>b", L"a|b", L"tab\there", L"trail.", L"trail ", L"CON", L"con",
                                  L"nul.txt", L"Com1", L"lpt9.log", L"AUX .x", L"CONIN$"};
    for (const wchar_t* name : bad) {
        std::wstring wide(name);
        EXPECT_FALSE(util::is_valid_file_name(wide)) << std::string(wide.begin(), wide.end());
    }
}

TEST(FileNames, PathPieces) {
    EXPECT_EQ(L"song.mp3", util::last_component(L"C:\\Music\\song.mp3"));
    EXPECT_EQ(L"", util::last_component(L"C:\\Music\\"));
    EXPECT_EQ(L"plain", util::last_component(L"plain"));
    EXPECT_EQ(L"song.mp3", util::last_component(L"C:\\Music/song.mp3"));
    EXPECT_EQ(L"C:\\x\\", util::with_trailing_backslash(L"C:\\x"));
    EXPECT_EQ(L"C:\\x\\", util::with_trailing_backslash(L"C:\\x\\"));
    EXPECT_EQ(L"", util::with_trailing_backslash(L""));
}

TEST(FileNames, BelowMeansWholeLeadingComponents) {
    EXPECT_TRUE(util::is_same_or_below(L"C:\\Photos\\x.jpg", L"C:\\Photos"));
    EXPECT_TRUE(util::is_same_or_below(L"C:\\Photos", L"C:\\Photos"));
    EXPECT_TRUE(util::is_same_or_below(L"C:\\x.jpg", L"C:\\"));
    EXPECT_FALSE(util::is_same_or_below(L"C:\\Photos2\\x.jpg", L"C:\\Photos"));
    EXPECT_FALSE(util::is_same_or_below(L"C:\\Pho", L"C:\\Photos"));
    EXPECT_FALSE(util::is_same_or_below(L"C:\\Photos\\x", L""));
    // Letter case does not tell two folders apart on Windows.
    EXPECT_TRUE(util::is_same_or_below(L"c:\\PHOTOS\\x.jpg", L"C:\\Photos"));
    EXPECT_FALSE(util::is_same_or_below(L"c:\\PHOTOS2\\x.jpg", L"C:\\Photos"));
}

TEST(FileNames, SameNameIgnoresLetterCaseAsTheFileSystemDoes) {
    struct {
        const wchar_t* a;
        const wchar_t* b;
        bool same;
    } const cases[] = {
        {L"Rock", L"rock", true},
        {L"\u00c4rger \u0416", L"\u00e4RGER \u0436", true},  // beyond ASCII too
        {L"Rock", L"Rocks", false},
        {L"Stra\u00dfe", L"STRASSE", false},  // ordinal: no expansion of \u00df
        {L"a\u0301", L"\u00e1", false},      // nor composition
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.same, util::same_name(c.a, c.b)) << static_cast<int>(&c - cases);
        if (c.same) EXPECT_EQ(util::name_hash(c.a), util::name_hash(c.b)) << static_cast<int>(&c - cases);
    }
}
