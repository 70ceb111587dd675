// The Manage Tags dialog driven as a user would, by window messages, with the database and the
// data folder checked afterwards.
#include "manage_tags_fixture.h"

#include "dpi_child.h"
#include "manage_tags_ids.h"
#include "util/dpi.h"

#include <atomic>
#include <functional>
#include <set>
#include <thread>

namespace {

typedef std::vector<std::wstring> names;

const wchar_t kFirstSteps[] =
    L"First of all , you must add \"Root\" tag \nlike \"books\" or \"docs\" or\"photos\" , or whatever you see fit.\n"
    L"To do it click to <New root tag>\nAfter all click to \"Enter\"";
const wchar_t kRootAdded[] =
    L"Ok , great work !\nNow you can add the tag or scope to file.\nBut remember: only tags have a real value.";

TEST_F(DialogTest, BuildsRootScopeAndTagAndGivesTheTagToTwoFiles) {
    const std::wstring a = file(L"a.txt"), b = file(L"b.txt");
    open({a, b});
    EXPECT_EQ(L"File list", title());
    EXPECT_EQ(names({L"< New root tag >"}), rows());
    EXPECT_EQ(kFirstSteps, tooltip_text());
    HWND tip = tooltip().first;
    EXPECT_TRUE(::GetWindowLongPtrW(tip, GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_EQ(250, ::SendMessageW(tip, TTM_GETMAXTIPWIDTH, 0, 0));
    EXPECT_EQ(15000, ::SendMessageW(tip, TTM_GETDELAYTIME, TTDT_AUTOPOP, 0));

    enter_name(L"< New root tag >", L"  Books ");
    EXPECT_EQ(kRootAdded, tooltip_text());
    enter_name(L"Books/< New scope >", L"Fiction");
    enter_name(L"Books/Fiction/< New tag >", L"Novel");
    EXPECT_EQ(names({L"Books", L"Books/Fiction", L"Books/Fiction/Novel *", L"Books/Fiction/< New scope >",
                     L"Books/Fiction/< New tag >", L"Books/< New scope >", L"Books/< New tag >",
                     L"< New root tag >"}),
              rows());
    EXPECT_EQ(row_tag | row_chosen, kind(L"Books/Fiction/Novel"));
    EXPECT_EQ(row_scope, kind(L"Books/Fiction"));
    EXPECT_EQ(row_root, kind(L"Books"));
    // Nothing reaches the store before "Add".
    EXPECT_TRUE(store_snapshot().empty());

    press(IDC_ADD_TAGS);
    EXPECT_TRUE(dialog() == nullptr) << "without a callback, Add ends the dialog";
    EXPECT_EQ(names({L"Books/Fiction/Novel"}), tags_of(a));
    EXPECT_EQ(names({L"Books/Fiction/Novel"}), tags_of(b));
    EXPECT_TRUE(exists(data(L"Books\\Fiction\\Novel")));
    EXPECT_TRUE(exists(data(L"Books.dat")));
    EXPECT_EQ(names({L"Books/Fiction/Novel"}), tags_on_disk(b));
}

TEST_F(DialogTest, AddWithoutAChosenTagRefusesAndChangesNothing) {
    const std::wstring a = file(L"a.txt"), other = file(L"other.txt");
    give({other}, {L"Docs/Work/Report"});
    const auto before = store_snapshot();
    open({a});
    EXPECT_EQ(L"a.txt", title());
    EXPECT_EQ(L"", tooltip_text()) << "the first-steps tip is only for an empty database";
    // Only tags can be chosen: double clicks on a root or a scope choose nothing.
    double_click(L"Docs");
    double_click(L"Docs/Work");
    EXPECT_EQ(row_root, kind(L"Docs"));
    EXPECT_EQ(row_scope, kind(L"Docs/Work"));

    EXPECT_EQ(names({kNothingChosenText}), answering_boxes([&] { press(IDC_ADD_TAGS); }));
    EXPECT_TRUE(dialog() != nullptr) << "the dialog stays open for another choice";
    EXPECT_TRUE(tags_of(a).empty());
    EXPECT_TRUE(before == store_snapshot());
}

TEST_F(DialogTest, TreeEditsFollowedByCancelLeaveTheStoreUntouched) {
    const std::wstring a = file(L"a.txt");
    give({a}, {L"Docs/Work/Report"});
    const auto before = store_snapshot();
    open({a});
    enter_name(L"< New root tag >", L"Music");
    enter_name(L"Docs/< New tag >", L"Memo");
    choose_from_menu(L"Docs/Work/Report", L"Rename");
    type(L"Summary");
    choose_from_menu(L"Docs/Work", L"Delete");
    EXPECT_EQ(nullptr, row(L"Docs/Work"));
    EXPECT_TRUE(row(L"Music") != nullptr);

    press(IDC_CANCEL_TAGS);
    EXPECT_TRUE(dialog() == nullptr) << "without a callback, Cancel ends the dialog";
    EXPECT_TRUE(before == store_snapshot());
    EXPECT_EQ(names({L"Docs/Work/Report"}), tags_of(a));
    open({a});
    EXPECT_EQ(names({L"Docs", L"Docs/Work", L"Docs/Work/Report *", L"Docs/Work/< New scope >",
                     L"Docs/Work/< New tag >", L"Docs/< New scope >", L"Docs/< New tag >", L"< New root tag >"}),
              rows());
}

TEST_F(DialogTest, RenameAndMoveWithinARootReachTheDisk) {
    const std::wstring a = file(L"a.txt"), b = file(L"b.txt");
    give({a}, {L"Docs/Work/Report"});
    give({b}, {L"Docs/Home/Bills"});
    give({b}, {L"Music/Rock"});
    open({a});

    // A scope moves only within its root tag, never into itself.
    EXPECT_EQ(names({L"Rename=214", L"Delete=215", L"MoveTo>Docs><Place Here>=316",
                     L"MoveTo>Docs>Home><Place Here>=317"}),
              choose_from_menu(L"Docs/Work", L""));
    const names report_menu = choose_from_menu(L"Docs/Work/Report", L"Rename");
    EXPECT_EQ(names({L"Rename=214", L"Delete=215", L"MoveTo>Docs><Place Here>=316",
                     L"MoveTo>Docs>Work><Place Here>=317", L"MoveTo>Docs>Home><Place Here>=318"}),
              report_menu);
    type(L"Summary");
    choose_from_menu(L"Docs/Work/Summary", L"MoveTo>Docs>Home><Place Here>");
    EXPECT_EQ(nullptr, row(L"Docs/Work/Summary"));
    EXPECT_EQ(row_tag | row_chosen, kind(L"Docs/Home/Summary")) << "a moved tag stays chosen";

    press(IDC_ADD_TAGS);
    EXPECT_EQ(names({L"Docs/Home/Summary"}), tags_of(a));
    EXPECT_EQ(names({L"Docs/Home/Bills", L"Music/Rock"}), tags_of(b));
    EXPECT_TRUE(exists(data(L"Docs\\Home\\Summary")));
    EXPECT_FALSE(exists(data(L"Docs\\Work\\Report")));
    EXPECT_EQ(names({L"Docs/Home/Summary"}), tags_on_disk(a));
}

TEST_F(DialogTest, ARootMovesUnderAnotherRootAndBecomesItsScope) {
    const std::wstring a = file(L"a.txt"), b = file(L"b.txt");
    give({a}, {L"Docs/Work/Report"});
    give({b}, {L"Music/Rock"});
    open({b});
    EXPECT_EQ(names({L"Rename=214", L"Delete=215", L"MoveTo>Docs><Place Here>=316",
                     L"MoveTo>Docs>Work><Place Here>=317"}),
              choose_from_menu(L"Music", L"MoveTo>Docs><Place Here>"));
    EXPECT_EQ(nullptr, row(L"Music"));
    EXPECT_EQ(row_scope, kind(L"Docs/Music"));
    EXPECT_EQ(row_tag | row_chosen, kind(L"Docs/Music/Rock"));

    press(IDC_ADD_TAGS);
    EXPECT_EQ(names({L"Docs/Music/Rock"}), tags_of(b));
    EXPECT_EQ(names({L"Docs/Work/Report"}), tags_of(a));
    EXPECT_TRUE(exists(data(L"Docs\\Music\\Rock")));
    EXPECT_FALSE(exists(data(L"Music")));
    EXPECT_FALSE(exists(data(L"Music.dat")));
    EXPECT_EQ(names({L"Docs/Music/Rock"}), tags_on_disk(b));
}

TEST_F(DialogTest, ContainersEmptiedByEarlierEditsStayUsable) {
    const std::wstring a = file(L"a.txt"), b = file(L"b.txt");
    give({a}, {L"Docs/Work/Report"});
    give({b}, {L"Docs/Home/Bills"});
    open({a});
    // The database drops a scope once its last tag goes; the dialog still shows it.
    choose_from_menu(L"Docs/Work/Report", L"Delete");
    enter_name(L"Docs/Work/< New tag >", L"Memo");
    choose_from_menu(L"Docs/Home/Bills", L"MoveTo>Docs><Place Here>");
    choose_from_menu(L"Docs/Home", L"Rename");
    type(L"House");

    EXPECT_TRUE(answering_boxes([&] { press(IDC_ADD_TAGS); }).empty());
    EXPECT_EQ(names({L"Docs/Work/Memo"}), tags_of(a));
    EXPECT_EQ(names({L"Docs/Bills"}), tags_of(b));
    EXPECT_TRUE(exists(data(L"Docs\\Work\\Memo")));
    EXPECT_FALSE(exists(data(L"Docs\\Work\\Report")));
    EXPECT_TRUE(exists(data(L"Docs\\House")));
    EXPECT_FALSE(exists(data(L"Docs\\Home")));
    EXPECT_EQ(names({L"Docs/Bills"}), tags_on_disk(b));
}

TEST_F(DialogTest, AStoreFailureInAddIsReportedAndTheTreeShowsTheDatabase) {
    const std::wstring a = file(L"a.txt");
    std::vector<std::pair<names, int> > calls;
    open({a}, [&calls](const names& files, int flag) { calls.emplace_back(files, flag); });
    enter_name(L"< New root tag >", L"Books");
    enter_name(L"Books/< New tag >", L"Novel");
    // A plain file where the root tag's folder must go.
    write_bytes(data(L"Books"), {1});

    EXPECT_EQ(names({L"Unable to add item"}), answering_boxes([&] { press(IDC_ADD_TAGS); }));
    ASSERT_EQ(1u, calls.size()) << "only the finish as for Cancel calls back";
    EXPECT_EQ(1, calls[0].second);
    ASSERT_TRUE(dialog() != nullptr);
    EXPECT_EQ(names({L"< New root tag >"}), rows());
    EXPECT_TRUE(tags_of(a).empty());
}

TEST_F(DialogTest, ChoosingAndUnchoosingTagsByDoubleClick) {
    const std::wstring a = file(L"a.txt"), b = file(L"b.txt");
    give({a}, {L"Docs/Work/Report"});
    give({b}, {L"Docs/Work/Memo"});
    open({a});
    EXPECT_EQ(row_tag | row_chosen, kind(L"Docs/Work/Report"));
    EXPECT_EQ(row_tag, kind(L"Docs/Work/Memo"));
    double_click(L"Docs/Work/Report");
    double_click(L"Docs/Work/Memo");
    EXPECT_EQ(row_tag, kind(L"Docs/Work/Report"));
    EXPECT_EQ(row_tag | row_chosen, kind(L"Docs/Work/Memo"));

    press(IDC_ADD_TAGS);
    EXPECT_EQ(names({L"Docs/Work/Memo"}), tags_of(a)) << "a tag no longer chosen is taken off";
    EXPECT_EQ(names({L"Docs/Work/Memo"}), tags_on_disk(a));
}

// The colours a row of the tree is drawn in, as the tree paints itself.
std::set<COLORREF> colours_of_row(HWND tree, HTREEITEM item) {
    std::set<COLORREF> colours;
    RECT client, text;
    if (!::GetClientRect(tree, &client) || !TreeView_GetItemRect(tree, item, &text, TRUE)) return colours;
    HDC screen = ::GetDC(tree);
    HDC memory = ::CreateCompatibleDC(screen);
    HBITMAP bitmap = ::CreateCompatibleBitmap(screen, client.right, client.bottom);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::SendMessageW(tree, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory), PRF_CLIENT | PRF_ERASEBKGND);
    for (int y = text.top; y < text.bottom; ++y) {
        for (int x = text.left; x < text.right; ++x) colours.insert(::GetPixel(memory, x, y));
    }
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(tree, screen);
    return colours;
}

TEST_F(DialogTest, TagsOfSomeOfTheFilesArePartlyChosenAndStayWithTheirOwnFiles) {
    const std::wstring a = file(L"a.txt"), b = file(L"b.txt");
    give({a}, {L"Music/Rock"});
    give({b}, {L"Music/Jazz"});
    give({a, b}, {L"Music/Live"});
    open({a, b});
    EXPECT_EQ(names({L"Music", L"Music/Rock ~", L"Music/Jazz ~", L"Music/Live *", L"Music/< New scope >",
                     L"Music/< New tag >", L"< New root tag >"}),
              rows());
    // Partly chosen is drawn apart from chosen: in grey, where a chosen tag is in the text colour.
    const std::set<COLORREF> partial = colours_of_row(tree(), row(L"Music/Rock"));
    const std::set<COLORREF> chosen = colours_of_row(tree(), row(L"Music/Live"));
    EXPECT_TRUE(partial.count(::GetSysColor(COLOR_GRAYTEXT)));
    EXPECT_FALSE(partial.count(::GetSysColor(COLOR_WINDOWTEXT)));
    EXPECT_TRUE(chosen.count(::GetSysColor(COLOR_WINDOWTEXT)));
    EXPECT_FALSE(chosen.count(::GetSysColor(COLOR_GRAYTEXT)));

    enter_name(L"Music/< New tag >", L"Blues");
    press(IDC_ADD_TAGS);
    EXPECT_EQ(names({L"Music/Blues", L"Music/Live", L"Music/Rock"}), tags_of(a)) << "b's Jazz never reaches a";
    EXPECT_EQ(names({L"Music/Blues", L"Music/Jazz", L"Music/Live"}), tags_of(b));
    EXPECT_EQ(names({L"Music/Blues", L"Music/Jazz", L"Music/Live"}), tags_on_disk(b));

    // A double click chooses a partly chosen tag for every file; the next one for none, and
    // the partial state does not come back.
    open({a, b});
    double_click(L"Music/Rock");
    EXPECT_EQ(row_tag | row_chosen, kind(L"Music/Rock"));
    double_click(L"Music/Jazz");
    double_click(L"Music/Jazz");
    EXPECT_EQ(row_tag, kind(L"Music/Jazz"));
    double_click(L"Music/Jazz");
    EXPECT_EQ(row_tag | row_chosen, kind(L"Music/Jazz"));
    double_click(L"Music/Jazz");
    EXPECT_EQ(row_tag, kind(L"Music/Jazz"));
    press(IDC_ADD_TAGS);
    EXPECT_EQ(names({L"Music/Blues", L"Music/Live", L"Music/Rock"}), tags_of(a));
    EXPECT_EQ(names({L"Music/Blues", L"Music/Live", L"Music/Rock"}), tags_of(b));
    EXPECT_EQ(names({L"Music/Blues", L"Music/Live", L"Music/Rock"}), tags_on_disk(b));
}

TEST_F(DialogTest, ClashingAndUnsafeNamesAreRefusedAndTheTreeStays) {
    const std::wstring a = file(L"a.txt");
    give({a}, {L"Docs/Work/Report"});
    const auto before = store_snapshot();
    open({a});
    const names tree_before = rows();
    struct refusal {
        const wchar_t* row;
        const wchar_t* name;
        bool clash;  // else an unsafe name
    };
    const refusal cases[] = {
        {L"< New root tag >", L"Docs", true},
        {L"< New root tag >", L"docs", true},  // one folder on a case-blind file system
        {L"Docs/< New scope >", L"Work", true},
        {L"Docs/< New tag >", L"Report", true},  // a tag name is unique in its whole root
        {L"Docs/Work/< New scope >", L"Report", true},
        {L"< New root tag >", L"..", false},
        {L"Docs/< New tag >", L"a\\b", false},
        {L"Docs/< New tag >", L"x:y", false},
        {L"Docs/< New scope >", L"CON", false},
        {L"Docs/Work/< New tag >", L"what?", false},
    };
    for (const refusal& c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + wcslen(c.name)));
        const names texts = answering_boxes([&] { enter_name(c.row, c.name); });
        ASSERT_EQ(1u, texts.size());
        if (c.clash) {
            EXPECT_EQ(kNameUsedText, texts[0]);
        } else {
            EXPECT_NE(std::wstring::npos, texts[0].find(L"valid file name")) << std::string(texts[0].begin(), texts[0].end());
        }
        EXPECT_EQ(tree_before, rows());
    }
    // A rename onto a sibling's name is a clash too.
    give({a}, {L"Docs/Work/Memo"});
    open({a});
    choose_from_menu(L"Docs/Work/Memo", L"Rename");
    EXPECT_EQ(names({kNameUsedText}), answering_boxes([&] { type(L"Report"); }));
    EXPECT_TRUE(row(L"Docs/Work/Memo") != nullptr);
    // Blank names end the edit silently.
    EXPECT_TRUE(answering_boxes([&] { enter_name(L"Docs/< New tag >", L"   "); }).empty());

    press(IDC_ADD_TAGS);
    EXPECT_EQ(names({L"Docs", L"Docs.dat"}), folder_entries(data_.path()));
    EXPECT_EQ(names({L"Memo", L"Report"}), folder_entries(data(L"Docs\\Work\\")));
    (void)before;
}

TEST_F(DialogTest, DeleteRemovesTheTagsOfOneFileWithoutAsking) {
    const std::wstring a = file(L"a.txt"), b = file(L"b.txt");
    give({a, b}, {L"Docs/Work/Report"});
    open({a});
    press(IDC_REMOVE_TAGS);
    EXPECT_TRUE(confirmations.empty());
    EXPECT_TRUE(dialog() == nullptr);
    EXPECT_TRUE(tags_of(a).empty());
    EXPECT_EQ(names({L"Docs/Work/Report"}), tags_of(b));
    EXPECT_TRUE(tags_on_disk(a).empty());
}

TEST_F(DialogTest, DeleteAsksOnceForSeveralFilesAndKeepsTheTagsOnCancel) {
    const std::wstring a = file(L"a.txt"), b = file(L"b.txt");
    give({a, b}, {L"Docs/Work/Report"});

    confirm_answer = false;
    open({a, b});
    HWND shown = dialog();
    press(IDC_REMOVE_TAGS);
    ASSERT_EQ(1u, confirmations.size());
    EXPECT_EQ(0u, confirmations[0].first);
    EXPECT_EQ(shown, confirmations[0].second);
    EXPECT_TRUE(dialog() == nullptr) << "the dialog ends whatever the answer";
    EXPECT_EQ(names({L"Docs/Work/Report"}), tags_of(a));

    confirm_answer = true;
    open({a, b});
    press(IDC_REMOVE_TAGS);
    EXPECT_EQ(2u, confirmations.size());
    EXPECT_TRUE(tags_of(a).empty());
    EXPECT_TRUE(tags_of(b).empty());
}

TEST_F(DialogTest, DeleteWithoutAConfirmationServiceKeepsTheTags) {
    const std::wstring a = file(L"a.txt"), b = file(L"b.txt");
    give({a, b}, {L"Docs/Work/Report"});
    ManageTagsDialog::instance().set_services(ManageTagsDialog::Services());
    open({a, b});
    press(IDC_REMOVE_TAGS);
    EXPECT_EQ(names({L"Docs/Work/Report"}), tags_of(a));
    EXPECT_EQ(names({L"Docs/Work/Report"}), tags_of(b));
}

TEST_F(DialogTest, ASecondOpenReplacesFilesTitleAndChoices) {
    const std::wstring a = file(L"a.txt"), b = file(L"b.txt");
    give({a}, {L"Docs/Work/Report"});
    give({b}, {L"Music/Rock"});
    open({a});
    HWND first = dialog();
    EXPECT_EQ(L"a.txt", title());
    enter_name(L"< New root tag >", L"Pending");

    open({b});
    EXPECT_EQ(first, dialog()) << "one dialog per process";
    EXPECT_EQ(L"b.txt", title());
    EXPECT_EQ(names({b}), ManageTagsDialog::instance().files());
    EXPECT_EQ(row_tag, kind(L"Docs/Work/Report"));
    EXPECT_EQ(row_tag | row_chosen, kind(L"Music/Rock"));
    EXPECT_EQ(nullptr, row(L"Pending")) << "the tree is refilled from the database";

    open({a, b});
    EXPECT_EQ(L"File list", title());
    EXPECT_EQ(names({a, b}), ManageTagsDialog::instance().files());
    EXPECT_EQ(row_tag | row_partial, kind(L"Docs/Work/Report")) << "each tag is held by one of the files";
    EXPECT_EQ(row_tag | row_partial, kind(L"Music/Rock"));
    press(IDC_ADD_TAGS);
    EXPECT_FALSE(exists(data(L"Pending"))) << "edits dropped by the second open never reach the store";
}

TEST_F(DialogTest, TheCallbackIsToldOfButtonsAndOfClosing) {
    const std::wstring a = file(L"a.txt");
    give({a}, {L"Docs/Work/Report"});
    std::vector<std::pair<names, int> > calls;
    const ManageTagsDialog::Callback record = [&calls](const names& files, int flag) {
        calls.emplace_back(files, flag);
    };

    open({a}, record);
    press(IDC_CANCEL_TAGS);
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(names({a}), calls[0].first);
    EXPECT_EQ(1, calls[0].second);
    EXPECT_TRUE(dialog() != nullptr) << "with a callback the opener decides what follows Cancel";

    enter_name(L"Docs/< New tag >", L"Memo");
    press(IDC_ADD_TAGS);
    ASSERT_EQ(3u, calls.size()) << "Add calls back, then finishes as Cancel does";
    EXPECT_EQ(1, calls[1].second);
    EXPECT_EQ(1, calls[2].second);
    EXPECT_TRUE(dialog() != nullptr);
    EXPECT_EQ(names({L"Docs/Memo", L"Docs/Work/Report"}), tags_of(a));

    ::SendMessageW(dialog(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(dialog() == nullptr);
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ(names({a}), calls[3].first);
    EXPECT_EQ(0, calls[3].second);

    open({}, record);
    ::SendMessageW(dialog(), WM_CLOSE, 0, 0);
    EXPECT_EQ(4u, calls.size()) << "closing with no files calls nothing";
}

TEST_F(DialogTest, SettingsShowsTheWatcherSwitchWhichStoresItsState) {
    watcher_on = true;
    open({file(L"a.txt")});
    HWND settings = ::GetDlgItem(dialog(), IDC_SETTINGS);
    HWND watcher = ::GetDlgItem(dialog(), IDC_WATCHER_ACTIVE);
    wchar_t text[64] = {};
    ::GetWindowTextW(watcher, text, 64);
    EXPECT_EQ(std::wstring(L"  Activate Directory Watcher"), text);
    EXPECT_EQ(BST_CHECKED, ::SendMessageW(watcher, BM_GETCHECK, 0, 0));
    EXPECT_FALSE(::IsWindowVisible(watcher));

    RECT closed, opened, again;
    ::GetWindowRect(dialog(), &closed);
    ::SendMessageW(settings, BM_CLICK, 0, 0);
    settle();
    ::GetWindowRect(dialog(), &opened);
    EXPECT_EQ(27, (opened.bottom - opened.top) - (closed.bottom - closed.top));
    EXPECT_TRUE(::IsWindowVisible(watcher));

    ::SendMessageW(watcher, BM_CLICK, 0, 0);
    settle();
    EXPECT_EQ(std::vector<bool>({false}), watcher_changes);
    ::SendMessageW(watcher, BM_CLICK, 0, 0);
    settle();
    EXPECT_EQ(std::vector<bool>({false, true}), watcher_changes);

    ::SendMessageW(settings, BM_CLICK, 0, 0);
    settle();
    ::GetWindowRect(dialog(), &again);
    EXPECT_EQ(closed.bottom - closed.top, again.bottom - again.top);
    EXPECT_FALSE(::IsWindowVisible(watcher));
}

// Explorer is per-monitor DPI aware: the tree's rows and the settings band are sized for the
// dialog's DPI, as written at 96 and doubled at 192, and follow the dialog to a monitor of
// another DPI.
TEST_F(DialogTest, PixelSizesFollowTheDpi) {
    if (!in_dpi_run()) ASSERT_EQ(0, run_current_test_at_dpi(192)) << "the run at 192 DPI failed";
    const UINT dpi = test_dpi();
    open({file(L"a.txt")});
    ASSERT_EQ(dpi, util::dpi_of(dialog()));
    EXPECT_EQ(util::scaled(20, dpi), TreeView_GetItemHeight(tree()));
    RECT closed, opened;
    ::GetWindowRect(dialog(), &closed);
    ::SendDlgItemMessageW(dialog(), IDC_SETTINGS, BM_CLICK, 0, 0);
    settle();
    ::GetWindowRect(dialog(), &opened);
    EXPECT_EQ(util::scaled(27, dpi), (opened.bottom - opened.top) - (closed.bottom - closed.top));

    // Moved to a monitor of twice the DPI: the window takes the rectangle the system suggests.
    RECT suggested = {opened.left + 10, opened.top + 10, opened.left + 10 + 2 * (opened.right - opened.left),
                      opened.top + 10 + 2 * (opened.bottom - opened.top)};
    ::SendMessageW(dialog(), WM_DPICHANGED, MAKEWPARAM(2 * dpi, 2 * dpi), reinterpret_cast<LPARAM>(&suggested));
    settle();
    RECT moved;
    ::GetWindowRect(dialog(), &moved);
    EXPECT_EQ(suggested.left, moved.left);
    EXPECT_EQ(suggested.bottom - suggested.top, moved.bottom - moved.top);
    EXPECT_EQ(util::scaled(40, dpi), TreeView_GetItemHeight(tree()));
    ::SendDlgItemMessageW(dialog(), IDC_SETTINGS, BM_CLICK, 0, 0);
    settle();
    RECT shut;
    ::GetWindowRect(dialog(), &shut);
    EXPECT_EQ(util::scaled(54, dpi), (moved.bottom - moved.top) - (shut.bottom - shut.top));
}

// An Explorer window on a thread of its own, as Explorer gives each of its windows: the thread
// runs its messages until the window closes, and ends with it.
class ExplorerWindow {
public:
    ExplorerWindow() : ready_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        thread_ = std::thread([this] { run(); });
        ::WaitForSingleObject(ready_.get(), 10000);
    }
    ~ExplorerWindow() { close(); }
    // Runs `work` on the window's thread, as a command chosen in that window runs.
    void run_here(const std::function<void()>& work) {
        ::SendMessageW(window_, kRunHere, 0, reinterpret_cast<LPARAM>(&work));
    }
    void close() {
        if (!thread_.joinable()) return;
        ::SendMessageW(window_, WM_CLOSE, 0, 0);
        thread_.join();
    }
    DWORD thread_id() const { return thread_id_; }

private:
    static const UINT kRunHere = WM_APP + 40;
    static LRESULT CALLBACK frame_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
        if (message == kRunHere) {
            (*reinterpret_cast<const std::function<void()>*>(lparam))();
            return 0;
        }
        if (message == WM_DESTROY) ::PostQuitMessage(0);
        return ::DefWindowProcW(window, message, wparam, lparam);
    }
    void run() {
        WNDCLASSW frame_class = {};
        frame_class.lpfnWndProc = frame_proc;
        frame_class.hInstance = ::GetModuleHandleW(nullptr);
        frame_class.lpszClassName = L"QuibrixTestExplorerFrame";
        ::RegisterClassW(&frame_class);
        thread_id_ = ::GetCurrentThreadId();
        window_ = ::CreateWindowExW(0, frame_class.lpszClassName, L"Explorer", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200,
                                    nullptr, nullptr, frame_class.hInstance, nullptr);
        ::SetEvent(ready_.get());
        MSG message;
        while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }

    util::unique_handle ready_;
    std::thread thread_;
    HWND window_ = nullptr;
    DWORD thread_id_ = 0;
};

TEST_F(DialogTest, TwoExplorerWindowsShareTheDialogWhichOutlivesTheFirstOfThem) {
    const std::wstring a = file(L"a.txt"), b = file(L"b.txt"), c = file(L"c.txt");
    give({a}, {L"Docs/Work/Report"});
    give({b, c}, {L"Music/Rock"});
    ExplorerWindow first, second;

    first.run_here([&] { open_manage_tags({a}); });
    HWND shown = dialog();
    ASSERT_TRUE(::IsWindow(shown));
    DWORD dialog_thread = ::GetWindowThreadProcessId(shown, nullptr);
    EXPECT_NE(first.thread_id(), dialog_thread) << "the dialog runs on a thread of its own";

    second.run_here([&] { open_manage_tags({b, c}); });
    EXPECT_EQ(shown, dialog()) << "one dialog per process";
    EXPECT_EQ(L"File list", title());
    EXPECT_EQ(names({b, c}), ManageTagsDialog::instance().files());
    EXPECT_EQ(row_tag | row_chosen, kind(L"Music/Rock"));
    EXPECT_EQ(row_tag, kind(L"Docs/Work/Report"));

    // Closing the window that opened the dialog first ends that window's thread.
    first.close();
    EXPECT_TRUE(::IsWindow(shown)) << "the dialog stays with the files of the second window";
    EXPECT_EQ(shown, dialog());
    EXPECT_EQ(names({b, c}), ManageTagsDialog::instance().files());

    ::SendMessageW(shown, WM_CLOSE, 0, 0);
    EXPECT_TRUE(dialog() == nullptr);
    second.run_here([&] { open_manage_tags({a}); });
    ASSERT_TRUE(::IsWindow(dialog())) << "Manage Tags opens again";
    EXPECT_TRUE(::IsWindowVisible(dialog()));
    EXPECT_EQ(L"a.txt", title());
    EXPECT_EQ(row_tag | row_chosen, kind(L"Docs/Work/Report"));
    second.close();
    EXPECT_TRUE(::IsWindow(dialog()));
}

TEST_F(DialogTest, AnotherWindowsRequestWaitsForTheStepInProgress) {
    const std::wstring a = file(L"a.txt"), b = file(L"b.txt"), c = file(L"c.txt");
    give({a, b, c}, {L"Docs/Work/Report"});
    open({a, b});
    HWND shown = dialog();
    // While the confirmation for a and b is up, as a modal window runs its messages, another
    // Explorer window asks for c.
    while_confirming = [&] {
        std::atomic<bool> asked(false);
        std::thread other([&] {
            open_manage_tags({c});
            asked = true;
        });
        while (!asked) {
            MSG message;
            while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
            ::Sleep(5);
        }
        other.join();
        EXPECT_EQ(names({a, b}), ManageTagsDialog::instance().files()) << "the request waits";
    };
    press(IDC_REMOVE_TAGS);
    ASSERT_EQ(1u, confirmations.size());
    EXPECT_TRUE(tags_of(a).empty());
    EXPECT_TRUE(tags_of(b).empty());
    EXPECT_EQ(names({L"Docs/Work/Report"}), tags_of(c)) << "only the confirmed files lose their tags";
    // Delete closed the dialog; the waiting request opened it again once that was done.
    settle();
    EXPECT_FALSE(::IsWindow(shown));
    ASSERT_TRUE(dialog() != nullptr);
    EXPECT_EQ(L"c.txt", title());
    EXPECT_EQ(row_tag | row_chosen, kind(L"Docs/Work/Report"));

    // An opener holding the database lock is not kept waiting for the dialog, which needs it.
    ManageTagsDialog::instance().close();
    {
        util::lock_guard hold(items::database_lock());
        open_manage_tags({a});
    }
    settle();
    ASSERT_TRUE(dialog() != nullptr);
    EXPECT_EQ(L"a.txt", title());
}

}  // namespace
