// Boolean queries over tag paths: "Work/Invoices and not Work/Paid", "(Rock or Jazz) and Year/1999".
//
// A name is a path of tag names from a root tag down ("Music/Genre/Rock"); it stands for every
// file tagged at that node or below it. Words: and, or, not (any letter case); parentheses
// group; a name holding blanks, parentheses or a word is written in double quotes, with "" for
// a quote inside. "not X" alone is every tagged file without X. `and` binds tighter than `or`.
#pragma once

#include "database/id_tables.h"

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace items {

class TagsHolder;

// A query that cannot be read; `position` is the offset of the offending character in the text.
class query_error : public std::invalid_argument {
public:
    query_error(const std::string& what, std::size_t at) : std::invalid_argument(what), position(at) {}
    const std::size_t position;
};

class tag_query {
public:
    struct node;

    // Throws query_error.
    static tag_query parse(const std::wstring& text);

    struct match {
        file_id_t id;  // the id the store knows the file by
        std::wstring path;
    };

    // The files that match, each once (by path), sorted by path. Take the database lock.
    std::vector<match> matches(TagsHolder& db) const;
    std::vector<std::wstring> files(TagsHolder& db) const;
    // The same paths without a copy: views into the roots' tables, valid while the caller holds
    // the database lock (taken before the call) and changes nothing.
    std::vector<stored_path> paths(TagsHolder& db) const;

    // The answer's ids over the sets that `files_of` gives for each name (sorted, each id once),
    // asked in the order the names stand: the same set operations without a database, for a
    // query that does not reach every root.
    std::vector<file_id_t> ids(
        const std::function<std::vector<file_id_t>(const std::vector<std::wstring>&)>& files_of) const;

    // Whether the answer is "every tagged file except ...", which takes the files of every root;
    // any other answer holds only files of the roots that names() start with.
    bool reaches_every_root() const;

    // Every name the query uses, split into its tag names.
    std::vector<std::vector<std::wstring> > names() const;

private:
    std::shared_ptr<const node> root_;
};

// "Music/Genre/Rock" as its names; empty names (doubled or edge slashes) are dropped.
std::vector<std::wstring> split_tag_path(const std::wstring& path);

}  // namespace items
