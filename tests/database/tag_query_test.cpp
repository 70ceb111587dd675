// Boolean tag queries: what they select across root tags, and where a bad one is refused.
#include "store_fixture.h"

#include "database/tag_query.h"

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

}  // namespace
