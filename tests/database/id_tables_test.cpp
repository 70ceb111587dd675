// The flat id tables against a reference model: random inserts, replacements and erasures,
// enough to wrap probe runs around the table's end and to shift entries back on erasure.
#include "database/id_tables.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

TEST(IdTables, SetAndMapAgreeWithAReferenceUnderRandomChanges) {
    std::mt19937 random(12345);
    items::id_set set;
    items::path_map map;
    std::set<std::uint32_t> set_model;
    std::map<std::uint32_t, std::wstring> map_model;
    // Few distinct ids, so that inserts, erasures and re-inserts of one id are frequent.
    std::uniform_int_distribution<std::uint32_t> any_id(0, 3000);
    for (int step = 0; step < 60000; ++step) {
        const std::uint32_t id = any_id(random);
        const std::wstring path = L"C:\\f\\" + std::to_wstring(id) + L"-" + std::to_wstring(step % 7);
        switch (random() % 4) {
        case 0:
            ASSERT_EQ(id != 0 && set_model.insert(id).second, set.insert(id));
            ASSERT_EQ(id != 0 && map_model.emplace(id, path).second, map.insert(id, path));
            break;
        case 1:
            if (id) map_model[id] = path;
            map.set(id, path);
            break;
        default:
            ASSERT_EQ(set_model.erase(id) == 1, set.erase(id));
            ASSERT_EQ(map_model.erase(id) == 1, map.erase(id));
        }
    }
    ASSERT_EQ(set_model.size(), set.size());
    ASSERT_EQ(map_model.size(), map.size());
    for (std::uint32_t id = 0; id <= 3000; ++id) {
        ASSERT_EQ(set_model.count(id) == 1, set.contains(id)) << id;
        std::map<std::uint32_t, std::wstring>::const_iterator it = map_model.find(id);
        ASSERT_EQ(it != map_model.end() ? it->second : std::wstring(), std::wstring(map.find(id))) << id;
    }
    std::map<std::uint32_t, std::wstring> walked;
    map.for_each([&walked](std::uint32_t id, std::wstring_view path) { walked[id] = std::wstring(path); });
    EXPECT_EQ(map_model, walked);
}

TEST(IdTables, IdZeroIsNeverAFile) {
    items::id_set set;
    items::path_map map;
    EXPECT_FALSE(set.insert(0));
    EXPECT_FALSE(map.insert(0, L"C:\\x"));
    EXPECT_FALSE(map.contains(0));
    EXPECT_TRUE(map.empty());
}
