// Folder navigation: the levels a window follows, "Filtered Items", filter / exclude / merge
// names, going back up, and the identifiers of each level byte for byte.
#include "store_fixture.h"

#include <algorithm>
#include <cstring>

using items::file_id;

namespace {

struct entry {
    std::uint16_t kind;
    std::wstring name;
    std::uint32_t count;
    bool operator==(const entry& o) const { return kind == o.kind && name == o.name && count == o.count; }
};

std::ostream& operator<<(std::ostream& os, const entry& e) {
    std::string narrow(e.name.begin(), e.name.end());
    return os << "{" << e.kind << ", " << narrow << ", " << e.count << "}";
}

std::wstring file(int n) { return L"C:\\Data\\file" + std::to_wstring(n) + L".txt"; }

class NavigationTest : public StoreTest {
protected:
    void SetUp() override {
        // Rock: 1 2 3 4 5   Jazz: 4 5 6   Blues: 5 6 7   Calm: 1 6   (Music/Genre/..., Music/Mood/Calm)
        give({file(1), file(2), file(3), file(4), file(5)}, {L"Music/Genre/Rock"});
        give({file(4), file(5), file(6)}, {L"Music/Genre/Jazz"});
        give({file(5), file(6), file(7)}, {L"Music/Genre/Blues"});
        give({file(1), file(6)}, {L"Music/Mood/Calm"});
        give({file(9)}, {L"Video/Clips"});
    }
    std::vector<entry> level(const std::vector<std::wstring>& path, bool expect_ok = true) {
        items::shell_item_list out;
        EXPECT_EQ(expect_ok, db->list_level(path, 0, out));
        std::vector<entry> result;
        for (std::size_t i = 0; i < out.size(); ++i) {
            items::shell_item_fields f = out.fields(i);
            result.push_back({f.kind, f.name, f.count});
        }
        return result;
    }
    // The files listed inside "Filtered Items" below `path`, as numbers, sorted.
    std::vector<int> files(std::vector<std::wstring> path) {
        path.push_back(items::filtered_items_name);
        items::shell_item_list out;
        db->list_level(path, 0, out);
        std::vector<int> numbers;
        for (std::size_t i = 0; i < out.size(); ++i) {
            items::shell_item_fields f = out.fields(i);
            EXPECT_EQ(items::item_file, f.kind);
            for (int n = 1; n < 10; ++n) {
                if (f.file_id == file_id(file(n))) {
                    numbers.push_back(n);
                    EXPECT_EQ(L"file" + std::to_wstring(n) + L".txt", f.name);
                }
            }
        }
        std::sort(numbers.begin(), numbers.end());
        return numbers;
    }
};

}  // namespace

TEST_F(NavigationTest, TopRootAndScopeLevels) {
    EXPECT_EQ((std::vector<entry>{{1, L"Music", 0}, {1, L"Video", 0}}), level({}));
    EXPECT_EQ((std::vector<entry>{{4, L"Filtered Items", 7}, {3, L"Genre", 7}, {3, L"Mood", 2}}), level({L"Music"}));
    EXPECT_EQ((std::vector<entry>{{4, L"Filtered Items", 7}, {3, L"Rock", 5}, {3, L"Jazz", 3}, {3, L"Blues", 3}}),
              level({L"Music", L"Genre"}));
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5, 6, 7}), files({L"Music"}));
}

TEST_F(NavigationTest, EnteringATagListsTheRootAgainWithoutIt) {
    EXPECT_EQ((std::vector<entry>{{4, L"Filtered Items( Rock )", 5}, {3, L"Genre", 5}, {3, L"Mood", 1}}),
              level({L"Music", L"Genre", L"Rock"}));
    EXPECT_EQ((std::vector<entry>{{4, L"Filtered Items( Rock )", 5}, {3, L"Jazz", 2}, {3, L"Blues", 1}}),
              level({L"Music", L"Genre", L"Rock", L"Genre"}));
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5}), files({L"Music", L"Genre", L"Rock"}));
    // Entering a second tag narrows to both.
    EXPECT_EQ((std::vector<int>{4, 5}), files({L"Music", L"Genre", L"Rock", L"Genre", L"Jazz"}));
}

TEST_F(NavigationTest, FilterByTwoAndThreeTags) {
    EXPECT_EQ((std::vector<int>{4, 5}), files({L"Music", L"Genre", L"|Rock|Jazz"}));
    EXPECT_EQ((std::vector<int>{5}), files({L"Music", L"Genre", L"|Blues|Rock|Jazz"}));
    EXPECT_EQ((std::vector<int>{5}), files({L"Music", L"Genre", L"|Jazz|Blues|Rock"}));
    std::vector<entry> none = level({L"Music", L"Genre", L"|Rock|Calm|Jazz"}, false);
    EXPECT_TRUE(none.empty());  // Calm is not below Genre
    std::vector<entry> disjoint = level({L"Music", L"|Genre|Mood"});
    ASSERT_FALSE(disjoint.empty());
    EXPECT_EQ(L"Filtered Items", disjoint[0].name);  // scopes are entered, not combined
    EXPECT_EQ(0u, level({L"Music", L"Genre", L"Blues", L"Genre", L"|Rock|Jazz", L"Mood", L"Calm"})[0].count);
}

TEST_F(NavigationTest, ExcludeAndMerge) {
    EXPECT_EQ((std::vector<int>{1, 2, 3, 7}), files({L"Music", L"Genre", L":Jazz"}));
    EXPECT_EQ((std::vector<int>{1, 2, 3}), files({L"Music", L"Genre", L":Jazz:Blues"}));
    EXPECT_EQ((std::vector<int>{4, 5, 6, 7}), files({L"Music", L"Genre", L"*Jazz*Blues"}));
    // Composable level by level: Rock, then without Jazz, then Calm or Blues.
    EXPECT_EQ((std::vector<int>{1, 2, 3}), files({L"Music", L"Genre", L"Rock", L"Genre", L":Jazz"}));
    EXPECT_EQ((std::vector<int>{1}),
              files({L"Music", L"Genre", L"Rock", L"Genre", L":Jazz", L"Mood", L"*Calm"}));
    std::vector<entry> named = level({L"Music", L"Genre", L"Rock", L"Genre", L":Jazz:Blues"});
    EXPECT_EQ(L"Filtered Items( Rock, not Jazz, not Blues )", named[0].name);
    EXPECT_EQ(3u, named[0].count);
}

TEST_F(NavigationTest, GoingBackUpRestoresEachLevel) {
    const std::vector<entry> root = level({L"Music"});
    const std::vector<entry> rock = level({L"Music", L"Genre", L"Rock"});
    level({L"Music", L"Genre", L"Rock", L"Genre", L"|Jazz|Blues", L"Mood"});
    EXPECT_EQ(rock, level({L"Music", L"Genre", L"Rock"}));
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5}), files({L"Music", L"Genre", L"Rock"}));
    EXPECT_EQ(root, level({L"Music"}));
    // Another branch from the same root after going up.
    EXPECT_EQ((std::vector<int>{4, 5, 6}), files({L"Music", L"Genre", L"Jazz"}));
}

TEST_F(NavigationTest, PathToADeletedNodeFails) {
    level({L"Music", L"Genre", L"Rock"});
    ASSERT_TRUE(db->delete_node(*items::make_chain({L"Music", L"Genre", L"Rock"})));
    level({L"Music", L"Genre", L"Rock"}, false);
    level({L"Nowhere"}, false);
    level({L"Music", L"..", L"x"}, false);
    // Changes made meanwhile show in the next listing of the window.
    EXPECT_EQ((std::vector<entry>{{4, L"Filtered Items", 5}, {3, L"Jazz", 3}, {3, L"Blues", 3}}),
              level({L"Music", L"Genre"}));
}

TEST_F(NavigationTest, IdentifiersAreLaidOutByteForByte) {
    items::shell_item_list out;
    ASSERT_TRUE(db->list_level({L"Video", items::filtered_items_name}, 0, out));
    ASSERT_EQ(1u, out.size());
    const unsigned char* p = out.at(0);
    const std::wstring name = L"file9.txt";
    const std::uint16_t cb = static_cast<std::uint16_t>(2 * name.size() + 18);
    std::vector<unsigned char> expected = {static_cast<unsigned char>(cb), 0, 'm', 'q', 'b', 'x', 5, 0};
    expected = expected + id_bytes({file_id(file(9)), 0});
    for (wchar_t c : name) expected = expected + std::vector<unsigned char>{static_cast<unsigned char>(c), 0};
    expected = expected + std::vector<unsigned char>{0, 0};
    EXPECT_EQ(expected, std::vector<unsigned char>(p, p + cb));

    ASSERT_TRUE(db->list_level({L"Video"}, 0, out));
    p = out.at(0);
    std::uint16_t kind;
    std::uint32_t id, count;
    std::memcpy(&kind, p + 6, 2);
    std::memcpy(&id, p + 8, 4);
    std::memcpy(&count, p + 12, 4);
    EXPECT_EQ(4, kind);
    EXPECT_EQ(0u, id);
    EXPECT_EQ(1u, count);
}

// What the folder layer would be told, recorded instead of done to windows.
class RecordingListener final : public items::view_listener {
public:
    void views_changed(const std::vector<items::view_key>& views) override {
        changed.insert(changed.end(), views.begin(), views.end());
    }
    void view_path_lost(items::view_key view) override { lost.push_back(view); }
    bool view_gone(items::view_key view) override {
        return std::find(gone.begin(), gone.end(), view) != gone.end();
    }
    std::vector<items::view_key> changed, lost, gone;
};

TEST_F(NavigationTest, ViewsKeepTheirOwnLevelsAndHearOfChangesToTheirRoot) {
    RecordingListener listener;
    db->set_view_listener(&listener);
    const items::view_key a = 11, b = 22, c = 33;
    items::shell_item_list out;
    db->view_opened(a);
    db->view_opened(b);
    db->view_opened(c);
    ASSERT_TRUE(db->list_level({L"Music", L"Genre", L"Rock"}, a, out));
    ASSERT_TRUE(db->list_level({L"Music", L"Genre", L"Jazz"}, b, out));
    ASSERT_TRUE(db->list_level({L"Video"}, c, out));
    ASSERT_TRUE(db->list_level({L"Music", L"Genre", L"Rock", items::filtered_items_name}, a, out));
    EXPECT_EQ(5u, out.size());
    EXPECT_EQ(3u, db->contexts.size());

    // Tagging under Music refreshes the two views showing it, not the one showing Video.
    give({file(8)}, {L"Music/Genre/Rock"});
    std::sort(listener.changed.begin(), listener.changed.end());
    EXPECT_EQ((std::vector<items::view_key>{a, b}), listener.changed);
    ASSERT_TRUE(db->list_level({L"Music", L"Genre", L"Rock", items::filtered_items_name}, a, out));
    EXPECT_EQ(6u, out.size());

    // A path that can no longer be followed is reported for its view only.
    ASSERT_TRUE(db->delete_node(*items::make_chain({L"Music", L"Genre", L"Jazz"})));
    EXPECT_FALSE(db->list_level({L"Music", L"Genre", L"Jazz"}, b, out));
    EXPECT_EQ(std::vector<items::view_key>{b}, listener.lost);

    db->view_closed(a);
    EXPECT_EQ(2u, db->contexts.size());
    // A view whose window went away without closing is dropped at the next request.
    listener.gone.push_back(b);
    ASSERT_TRUE(db->list_level({}, c, out));
    EXPECT_EQ(1u, db->contexts.size()) << "the state of a vanished view was kept";
    db->set_view_listener(nullptr);
}

TEST(ShellItem, ForeignAndTruncatedIdentifiersAreRejected) {
    items::shell_item_list list;
    list.add(items::item_node, 0, 3, L"Rock");
    const unsigned char* good = list.at(0);
    items::shell_item_fields f;
    ASSERT_TRUE(items::parse_shell_item(good, list.cb(0), f));
    EXPECT_EQ(L"Rock", f.name);
    EXPECT_FALSE(items::parse_shell_item(good, list.cb(0) - 1, f));  // cb beyond the buffer
    std::vector<unsigned char> copy(good, good + list.cb(0));
    copy[2] = 'M';
    EXPECT_FALSE(items::parse_shell_item(copy.data(), copy.size(), f));
    EXPECT_FALSE(items::has_shell_item_signature(copy.data()));
    copy[2] = 'm';
    copy[copy.size() - 2] = 'x';  // no NUL inside cb
    EXPECT_FALSE(items::parse_shell_item(copy.data(), copy.size(), f));
    EXPECT_FALSE(items::parse_shell_item(nullptr, 100, f));
}
