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
}
