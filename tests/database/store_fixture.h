// A data folder of its own with a database over it, and raw access to the store's bytes.
#pragma once

#include "database/tags_holder.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include <cstdint>
#include <string>
#include <vector>

std::vector<unsigned char> read_bytes(const std::wstring& path);
void write_bytes(const std::wstring& path, const std::vector<unsigned char>& bytes);
bool exists(const std::wstring& path);
// The names in a folder, sorted; "." and "..", and the store's change counter, snapshot and
// identity files beside the maps, left out.
std::vector<std::wstring> folder_entries(const std::wstring& folder);

// Every file of the store below `folder` as "relative name: content", sorted: a tag file's
// ids in file order, a map's records in id order (their order in the file is not kept).
std::vector<std::wstring> store_contents(const std::wstring& folder);

// Last-write times, in the file system's 100 ns units.
void set_write_time(const std::wstring& path, std::uint64_t value);
std::uint64_t write_time(const std::wstring& path);
// Every file below `folder` as if written an hour ago: their stamps are settled, so the store
// trusts what it read of them while they keep them.
void age_files(const std::wstring& folder);

std::vector<unsigned char> id_bytes(const std::vector<std::uint32_t>& ids);
std::vector<unsigned char> record_bytes(std::uint32_t id, const std::wstring& path);
// The Linux path Wine gives a Windows path; empty when it has none.
std::string unix_path(const std::wstring& path);
std::vector<unsigned char> operator+(std::vector<unsigned char> a, const std::vector<unsigned char>& b);

// A name tree from "Root/Scope/Tag" chains that share their root, e.g. {"Music/Genre/Rock",
// "Music/Genre/Jazz"}.
items::tree_ptr tags(const std::vector<std::wstring>& chains);
// The chains named by a name tree, sorted: the inverse of tags().
std::vector<std::wstring> chains_of(const items::tree_ptr& tree);

class StoreTest : public ::testing::Test {
protected:
    StoreTest() { db = open(); }

    boost::shared_ptr<items::TagsHolder> open() {
        boost::shared_ptr<items::TagsHolder> holder = boost::make_shared<items::TagsHolder>();
        holder->set_data_folder(folder.path());
        return holder;
    }
    // A new database object loaded from the disk, as at the next start of Explorer.
    void reload() {
        db = open();
        db->load_store();
    }
    void give(const std::vector<std::wstring>& paths, const std::vector<std::wstring>& chains) {
        ASSERT_TRUE(db->set_tags(paths, tags(chains), items::tree_ptr()));
    }
    std::vector<std::wstring> tags_of(const std::wstring& path) {
        std::vector<std::wstring> all;
        for (const items::tree_ptr& tree : db->tags_of_paths({path})) {
            std::vector<std::wstring> chains = chains_of(tree);
            all.insert(all.end(), chains.begin(), chains.end());
        }
        return all;
    }
    std::wstring data(const std::wstring& relative) const { return folder.path() + relative; }

    TempFolder folder;
    boost::shared_ptr<items::TagsHolder> db;
};
