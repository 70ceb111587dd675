// The flat id tables against a reference model: random inserts, replacements and erasures,
// enough to wrap probe runs around the table's end and to shift entries back on erasure.
#include "database/id_tables.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>

// Two maps over one store of paths, as two roots: a path both hold is kept once, and lives
// exactly while some map holds it (through the store's compactions).
TEST(IdTables, SetAndMapsAgreeWithAReferenceUnderRandomChanges) {
    std::mt19937 random(12345);
    items::id_set set;
    const std::shared_ptr<items::path_store> store = std::make_shared<items::path_store>();
    items::path_map maps[2] = {items::path_map(store), items::path_map(store)};
    std::set<std::uint32_t> set_model;
    std::map<std::uint32_t, std::wstring> map_models[2];
    // Few distinct ids, so that inserts, erasures and re-inserts of one id are frequent.
    std::uniform_int_distribution<std::uint32_t> any_id(0, 3000);
    for (int step = 0; step < 60000; ++step) {
        const std::uint32_t id = any_id(random);
        const int which = random() % 2;
        items::path_map& map = maps[which];
        std::map<std::uint32_t, std::wstring>& map_model = map_models[which];
        // Folders that many files share, and now and then a path without any. One path is never
        // another id's: a store keeps a path once per id, as the roots share ids.
        const std::wstring path = step % 11 == 0 ? L"bare" + std::to_wstring(id)
                                                 : L"C:\\f" + std::to_wstring(id % 9) + L"\\" + std::to_wstring(id) + L"-" +
                                                       std::to_wstring(step % 3);
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
    std::set<std::wstring> distinct;
    for (int which = 0; which < 2; ++which) {
        ASSERT_EQ(map_models[which].size(), maps[which].size());
        for (std::uint32_t id = 0; id <= 3000; ++id) {
            if (which == 0) ASSERT_EQ(set_model.count(id) == 1, set.contains(id)) << id;
            const auto it = map_models[which].find(id);
            ASSERT_EQ(it != map_models[which].end() ? it->second : std::wstring(), maps[which].find(id).str()) << id;
        }
        std::map<std::uint32_t, std::wstring> walked;
        maps[which].for_each_hashed([&](std::uint32_t id, const items::stored_path& path, items::file_id_t hash) {
            walked[id] = path.str();
            ASSERT_EQ(items::file_id(path.str()), hash) << path.str();
            ASSERT_EQ(hash, items::file_id(path));
        });
        EXPECT_EQ(map_models[which], walked);
        for (const auto& entry : map_models[which]) distinct.insert(entry.second);
    }
    EXPECT_EQ(distinct.size(), store->size());
    maps[0].clear();
    maps[1] = items::path_map(store);
    EXPECT_EQ(0u, store->size());
}

TEST(IdTables, IdZeroIsNeverAFile) {
    items::id_set set;
    items::path_map map;
    EXPECT_FALSE(set.insert(0));
    EXPECT_FALSE(map.insert(0, L"C:\\x"));
    EXPECT_FALSE(map.contains(0));
    EXPECT_TRUE(map.empty());
}

// The indexes that many ids share a key in (a hash of their path), and the ids' marks: random
// inserts and erasures over few keys, so that long runs of one key wrap around and shift back.
TEST(IdTables, KeyedIdsAndNumbersAgreeWithAReference) {
    std::mt19937 random(777);
    items::keyed_ids keyed;
    items::id_numbers numbers;
    typedef std::set<std::pair<std::uint32_t, std::uint32_t> > pairs;
    pairs keyed_model;
    std::map<std::uint32_t, std::uint64_t> numbers_model;
    std::uniform_int_distribution<std::uint32_t> any_id(1, 2000);
    for (int step = 0; step < 40000; ++step) {
        const std::uint32_t id = any_id(random);
        const std::uint32_t key = id % 37;
        if (random() % 3) {
            if (keyed_model.insert(std::make_pair(key, id)).second) keyed.insert(key, id);
            numbers.set(id, step + 1);
            numbers_model[id] = step + 1;
        } else {
            ASSERT_EQ(keyed_model.erase(std::make_pair(key, id)) == 1, keyed.erase(key, id));
            ASSERT_EQ(numbers_model.erase(id) == 1, numbers.erase(id));
        }
    }
    for (std::uint32_t key = 0; key < 37; ++key) {
        pairs found;
        keyed.for_key(key, [&](std::uint32_t id) { ASSERT_TRUE(found.insert(std::make_pair(key, id)).second); });
        auto first = keyed_model.lower_bound(std::make_pair(key, 0u));
        auto last = keyed_model.lower_bound(std::make_pair(key + 1, 0u));
        EXPECT_EQ(pairs(first, last), found) << key;
    }
    for (std::uint32_t id = 1; id <= 2000; ++id) {
        auto it = numbers_model.find(id);
        ASSERT_EQ(it == numbers_model.end() ? 0 : it->second, numbers.find(id)) << id;
    }
    EXPECT_EQ(numbers_model.empty(), numbers.empty());
}
