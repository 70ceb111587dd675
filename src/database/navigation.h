// The navigation state of one Explorer window showing the virtual folder: the levels it has
// entered, each narrowing the set of files of its root tag.
//
// Marks: every file of the window's root carries a mark, 0 while the file passes every level
// entered so far, otherwise the depth of the level that took it out. Dropping levels back to
// depth d clears the marks above d, so each remaining level comes back exactly.
#pragma once

#include "database/shell_item.h"
#include "database/tag_query.h"
#include "database/tree_nodes.h"
#include "database/view_listener.h"

#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace items {

class base_node;
class root_scope;
class TagsHolder;

extern const wchar_t filtered_items_name[];  // "Filtered Items"

// Combined names: "|a|b" filter, ":a:b" exclude, "*a*b" merge.
enum combine_mode { mode_filter = 0, mode_exclude = 1, mode_merge = 2 };
// Splits a path name into its tag names and mode; a name without separator is one name.
combine_mode split_combined_name(const std::wstring& name, std::vector<std::wstring>& parts);
// True for "Filtered Items" and "Filtered Items( ... )", the names its entry is listed under.
bool is_filtered_items_name(const std::wstring& name);

// A level at the top named by a tag query, "?Work/Invoices and not Work/Paid", lists the files
// that match it across every root tag. No tag name can hold the mark, so a query such as
// "Work" is never taken for the root tag of that name.
const wchar_t query_mark = L'?';
bool is_query_name(const std::wstring& name);

class filtered_item {
public:
    struct level {
        std::wstring name;                        // the path name that made this level
        hashed_ptr node;                          // null for a "Filtered Items" level
        std::vector<hashed_tree_node*> entered;   // tags whose `number` this level set
        std::size_t chosen_count = 0;             // chosen names this level added
        bool query = false;                       // a query level: `matches` is what it lists
        std::vector<tag_query::match> matches;
    };

    view_key view = 0;
    boost::weak_ptr<base_node> root;
    std::vector<level> levels;
    std::vector<std::wstring> chosen_names;
    std::vector<std::uint32_t> marks;  // one per id of the first level's node
    std::size_t marked = 0;            // how many marks are not 0
    int views = 0;
    unsigned long generation = 0;      // of the tag tree when the first level was built

    // Follows `path` from the levels already held; false when a name cannot be followed.
    bool follow(TagsHolder& holder, const std::vector<std::wstring>& path);
    // The identifiers of the deepest level.
    void list(TagsHolder& holder, shell_item_list& out) const;
    void drop_to(std::size_t depth);

private:
    bool enter(TagsHolder& holder, const std::wstring& name);
    std::uint32_t count_passing(const std::vector<std::uint32_t>& ids) const;
    void mark_level(const std::vector<std::uint32_t>& files, combine_mode mode, std::uint32_t depth);
};

}  // namespace items
