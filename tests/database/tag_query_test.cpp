// Boolean tag queries: what they select across root tags, and where a bad one is refused.
#include "store_fixture.h"

#include "database/tag_query.h"
#include "util/unique_resource.h"

#include <algorithm>

namespace {

std::wstring file(int n) { return L"C:\\Docs\\file" + std::to_wstring(n) + L".txt"; }

class TagQueryTest : public StoreTest {
protected:
    void SetUp() override {
        // Invoices: 1 2 3 4   Paid: 2 4   Music/Genre/Rock: 3 5   "My Tags/Odd and (Named)": 6
        give({file(1), file(2), file(3), file(4)}, {L"Work/Invoices"});
        give({file(2), file(4)}, {L"Work/Paid"});
        give({file(3), file(5)}, {L"Music/Genre/Rock"});
        give({file(6)}, {L"My Tags/Odd and (Named)"});
    }
    std::vector<int> matching(const std::wstring& query) {
        std::vector<int> numbers;
        for (const std::wstring& path : items::tag_query::parse(query).files(*db)) {
            for (int n = 1; n <= 6; ++n) {
                if (path == file(n)) numbers.push_back(n);
            }
        }
        return numbers;
    }
    std::size_t error_at(const std::wstring& query) {
        try {
            items::tag_query::parse(query);
        } catch (const items::query_error& error) {
            return error.position;
        }
        ADD_FAILURE() << "accepted a malformed query";
        return std::wstring::npos;
    }
};

TEST_F(TagQueryTest, OperatorsCombineTagsOfSeveralRoots) {
    EXPECT_EQ((std::vector<int>{1, 3}), matching(L"Work/Invoices and not Work/Paid"));
    // A scope or a root stands for everything below it; "and" binds tighter than "or".
    EXPECT_EQ((std::vector<int>{2, 3, 4, 5}), matching(L"Music or Work/Invoices AND Work/Paid"));
    EXPECT_EQ((std::vector<int>{3}), matching(L"(Music or Work/Paid) and Work/Invoices and not Work/Paid"));
    EXPECT_EQ((std::vector<int>{3}), matching(L"Music/Genre and Work"));
    // "not" alone is every tagged file of every root without the named ones.
    EXPECT_EQ((std::vector<int>{1, 3, 5, 6}), matching(L"not Work/Paid"));
    EXPECT_EQ((std::vector<int>{2, 4}), matching(L"not not Work/Paid"));
    EXPECT_EQ((std::vector<int>{2, 4, 5, 6}), matching(L"not Work/Invoices or Work/Paid"));
    EXPECT_EQ((std::vector<int>{3, 5, 6}), matching(L"Music or not Work"));
    EXPECT_EQ((std::vector<int>{1, 6}), matching(L"not Work/Paid and not Music"));
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5, 6}), matching(L"not Work/Paid or not Music"));
    EXPECT_EQ((std::vector<int>{6}), matching(L"not (Work or Music)"));
    EXPECT_EQ((std::vector<int>{6}), matching(L"\"My Tags/Odd and (Named)\""));
    EXPECT_TRUE(matching(L"Work/Nothing or Nowhere").empty());
    // Across a reload the same answers come from the disk.
    reload();
    EXPECT_EQ((std::vector<int>{1, 3}), matching(L"Work/Invoices and not Work/Paid"));
}

TEST_F(TagQueryTest, MalformedQueriesNameThePositionOfTheFault) {
    EXPECT_EQ(0u, error_at(L""));
    EXPECT_EQ(17u, error_at(L"Work/Invoices and"));
    EXPECT_EQ(0u, error_at(L"and Work"));
    EXPECT_EQ(0u, error_at(L"( (Work) or Music"));   // the "(" that is never closed
    EXPECT_EQ(10u, error_at(L"Work/Paid ) or Music"));
    EXPECT_EQ(5u, error_at(L"Work Music"));
    EXPECT_EQ(1u, error_at(L"()"));
    EXPECT_EQ(8u, error_at(L"Work or \"Mus"));
    EXPECT_EQ(0u, error_at(L"//"));
}

TEST_F(TagQueryTest, DeepNestingIsRefusedWhereALongFlatQueryIsAnswered) {
    auto repeated = [](const std::wstring& piece, std::size_t times) {
        std::wstring out;
        for (std::size_t i = 0; i < times; ++i) out += piece;
        return out;
    };
    // 100,000 levels would overflow the stack: the level past the bound is named.
    EXPECT_EQ(100u, error_at(repeated(L"(", 100000) + L"Work" + repeated(L")", 100000)));
    EXPECT_EQ(400u, error_at(repeated(L"not ", 100000) + L"Work"));
    // Parentheses and "not" count together.
    EXPECT_EQ(175u, error_at(L"((" + repeated(L"not ", 25) + repeated(L"(", 74) + L"Music" + repeated(L")", 76)));
    // The bound itself is still read.
    EXPECT_EQ((std::vector<int>{3, 5}), matching(repeated(L"(", 100) + L"Music" + repeated(L")", 100)));
    EXPECT_EQ((std::vector<int>{3, 5}), matching(repeated(L"not ", 100) + L"Music"));
    // Names joined by one word do not nest, however many there are.
    EXPECT_EQ((std::vector<int>{2, 3, 4, 5}), matching(L"Work/Paid" + repeated(L" or Music", 100000)));
    EXPECT_EQ((std::vector<int>{2, 4}), matching(L"Work/Paid" + repeated(L" and Work/Invoices", 100000)));
    EXPECT_EQ((std::vector<int>{1}),
              matching(L"Work" + repeated(L" and not Work/Paid", 50000) + L" and not Music" + repeated(L" or Nowhere", 50000)));
}

// The tool reads only the roots that a query names, from the snapshot where it is current:
// that answers as the whole store does as long as the answer is no "every file except".
TEST_F(TagQueryTest, TheRootsAQueryNamesAnswerAsTheWholeStore) {
    EXPECT_TRUE(items::tag_query::parse(L"not Work/Paid").reaches_every_root());
    EXPECT_TRUE(items::tag_query::parse(L"Music or not Work").reaches_every_root());
    EXPECT_FALSE(items::tag_query::parse(L"Work and not Work/Paid").reaches_every_root());
    EXPECT_FALSE(items::tag_query::parse(L"not (not Music or not Work)").reaches_every_root());
    const auto from_named_roots = [this](const items::tag_query& query) {
        std::vector<std::wstring> roots;
        for (const std::vector<std::wstring>& chain : query.names()) roots.push_back(chain.front());
        items::TagsHolder partial;
        partial.set_data_folder(folder.path());
        EXPECT_TRUE(partial.load_roots(roots));
        const util::lock_guard held = partial.lock();
        std::vector<std::wstring> paths;
        for (const items::stored_path& path : query.paths(partial)) paths.push_back(path.str());
        return paths;
    };
    const std::vector<std::wstring> queries = {L"Work/Invoices and not Work/Paid", L"music or WORK/paid",
                                               L"Music/Genre and Work", L"Nowhere or \"My Tags\"",
                                               L"not (not Music or not Work)"};
    // The roots read first, then the whole store (which writes a snapshot for the next load).
    const auto same_answers = [&] {
        std::vector<std::vector<std::wstring> > partial;
        for (const std::wstring& text : queries) partial.push_back(from_named_roots(items::tag_query::parse(text)));
        reload();
        for (std::size_t i = 0; i < queries.size(); ++i) {
            EXPECT_EQ(items::tag_query::parse(queries[i]).files(*db), partial[i])
                << std::string(queries[i].begin(), queries[i].end());
        }
    };
    age_files(folder.path());
    same_answers();
    // Another process changes tags and maps behind the snapshot; their stamps settle.
    {
        const boost::shared_ptr<items::TagsHolder> other = open();
        ASSERT_TRUE(other->set_tags({file(5), file(7)}, tags({L"Work/Paid"}), items::tree_ptr()));
        ASSERT_TRUE(other->set_tags({file(2)}, items::tree_ptr(), tags({L"Work/Paid"})));
        other->remove_all_tags({file(3)}, false);
    }
    age_files(folder.path());
    same_answers();
    EXPECT_EQ((std::vector<std::wstring>{file(1), file(2)}),
              from_named_roots(items::tag_query::parse(L"Work/Invoices and not Work/Paid")));

    // What it did not read could hold the ids it would give: it changes nothing.
    items::TagsHolder partial;
    partial.set_data_folder(folder.path());
    ASSERT_TRUE(partial.load_roots({L"Work"}));
    EXPECT_THROW(partial.set_tags({file(8)}, tags({L"Work/Paid"}), items::tree_ptr()), items::store_error);
    reload();
    EXPECT_EQ((std::vector<int>{4, 5}), matching(L"Work/Paid"));
}

// Answers come sorted by path as std::sort orders the UTF-16 units, whatever the paths share.
TEST_F(TagQueryTest, AnswersAreSortedByTheirUnits) {
    const std::vector<std::wstring> parts = {L"a", L"ab", L"B", L"\\", L"\u00e9", L"\U0001F3B5", L"\uFF21", L"a b"};
    std::vector<std::wstring> paths;
    for (std::size_t i = 0; i < 300; ++i) {
        std::wstring path = L"C:\\Docs\\";
        for (std::size_t n = i; n > 0; n /= parts.size()) path += parts[n % parts.size()];
        paths.push_back(path + L".txt");
    }
    give(paths, {L"Many/All"});
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    EXPECT_EQ(paths, items::tag_query::parse(L"Many").files(*db));
}

}  // namespace

TEST_F(TagQueryTest, LargeTagsCombineAsSetsDo) {
    // Tags past a few thousand ids are sorted another way than small ones; a scope gathers the
    // same id from several tags.
    std::vector<std::wstring> a, b, c;
    for (int n = 0; n < 8000; ++n) {
        const std::wstring path = L"C:\\Big\\" + std::to_wstring(n * 7919 % 8000) + L".dat";
        if (n < 5000) a.push_back(path);
        if (n >= 3000) b.push_back(path);
        if (n % 2 == 0) c.push_back(path);
    }
    ASSERT_TRUE(db->set_tags(a, tags({L"Big/A"}), items::tree_ptr()));
    ASSERT_TRUE(db->set_tags(b, tags({L"Big/B"}), items::tree_ptr()));
    ASSERT_TRUE(db->set_tags(c, tags({L"Big/C"}), items::tree_ptr()));
    const auto sorted = [](std::vector<std::wstring> paths) {
        std::sort(paths.begin(), paths.end());
        return paths;
    };
    const auto answer = [](items::TagsHolder& store, const std::wstring& query) {
        std::vector<std::wstring> paths = items::tag_query::parse(query).files(store);
        std::sort(paths.begin(), paths.end());
        return paths;
    };
    std::vector<std::wstring> odd, both;
    for (int n = 0; n < 8000; ++n) {
        if (n % 2) odd.push_back(a.size() > static_cast<std::size_t>(n) ? a[n] : b[n - 3000]);
        if (n >= 3000 && n < 5000) both.push_back(a[n]);
    }
    EXPECT_EQ(sorted(odd), answer(*db, L"Big and not Big/C"));
    EXPECT_EQ(sorted(both), answer(*db, L"Big/A and Big/B"));
    EXPECT_EQ(8000u, answer(*db, L"Big/A or Big/B").size());
}
