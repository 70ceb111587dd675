#include "cli/transfer.h"

#include "database/store_io.h"
#include "database/tag_query.h"
#include "util/file_names.h"
#include "util/unique_resource.h"
#include "util/utf8.h"

#include <nlohmann/json.hpp>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cwctype>
#include <functional>
#include <iterator>
#include <memory>
#include <unordered_map>

namespace transfer {

namespace {

const int exit_ok = 0;
const int exit_nothing = 1;
const int exit_error = 2;

const char format_name[] = "quibrix-tags";
const int format_version = 1;

using util::from_utf8;
using util::to_utf8;

// UTF-8 to a file or a pipe as it is, to a console as UTF-16 (WriteConsoleW), which shows any
// character whatever the console's code page.
bool write_to(HANDLE handle, const std::string& utf8) {
    DWORD mode = 0;
    if (::GetConsoleMode(handle, &mode)) {
        const std::wstring text = from_utf8(utf8);
        DWORD done = 0;
        return ::WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &done, nullptr) != 0;
    }
    for (std::size_t at = 0; at < utf8.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(utf8.size() - at, 1 << 24));
        DWORD done = 0;
        if (!::WriteFile(handle, utf8.data() + at, chunk, &done, nullptr) || done == 0) return false;
        at += done;
    }
    return true;
}

int fail(const std::wstring& message) {
    write_to(::GetStdHandle(STD_ERROR_HANDLE), to_utf8(L"quibrix: " + message + L"\n"));
    return exit_error;
}

int usage_fail(const std::wstring& message) {
    return fail(message + L"\nRun 'quibrix --help' for usage.");
}

std::wstring system_error(DWORD error) { return L" (system error " + std::to_wstring(error) + L")"; }

struct name_hasher {
    std::size_t operator()(const std::wstring& name) const { return util::name_hash(name); }
};
struct name_equal {
    bool operator()(const std::wstring& a, const std::wstring& b) const { return util::same_name(a, b); }
};
// Keyed by a name or path in any letter case, as the file system matches them.
template <typename Value>
using any_case_map = std::unordered_map<std::wstring, Value, name_hasher, name_equal>;

std::wstring join(const std::vector<std::wstring>& names) {
    std::wstring text;
    for (const std::wstring& name : names) text += (text.empty() ? L"" : L"/") + name;
    return text;
}

// --- export

// Into a buffer that is reused: an export converts some hundred thousand strings.
void to_utf8(std::wstring_view text, std::string& utf8) {
    // A UTF-16 unit takes at most three bytes (a pair of them four).
    utf8.resize(text.size() * 3);
    const int bytes = text.empty() ? 0
                                   : ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                                           &utf8[0], static_cast<int>(utf8.size()), nullptr, nullptr);
    utf8.resize(static_cast<std::size_t>(bytes));
}

// JSON strings written by the library into one text, through one serializer and one value whose
// buffer is reused: a serializer and a value for each string would cost more than the writing.
class json_strings {
public:
    explicit json_strings(std::string& text)
        : serializer_(nlohmann::detail::output_adapter<char>(text), ' '), value_(std::string()) {}
    void write(std::wstring_view text) {
        to_utf8(text, value_.get_ref<std::string&>());
        serializer_.dump(value_, false, false, 0);
    }

private:
    nlohmann::detail::serializer<nlohmann::json> serializer_;
    nlohmann::json value_;
};

// The document of every tagged file (with `only`, sorted, of those among them) with every tag
// it holds in every root, files in path order and each file's tags in order; `count`: how many
// files it lists. Made while the database lock is held, so that the paths are read where the
// maps keep them.
std::string export_document(items::TagsHolder& db, const std::vector<std::wstring>* only, std::size_t& count) {
    const util::lock_guard held = db.lock();
    std::vector<items::stored_path> paths;  // each file once
    // Flat tables rather than node-based maps: with some hundred thousand entries the host's
    // heap would be most of the cost. The file of a path, by open addressing over `paths`:
    std::size_t files_seen = 0;
    for (const items::node_ptr& node : db.children) {
        files_seen += static_cast<const items::root_scope&>(*node).id_map.size();
    }
    std::size_t slots = 16;
    while (slots < files_seen * 2) slots *= 2;
    std::vector<std::uint32_t> file_slots(slots, 0);  // file index + 1; 0: empty
    const auto file_of = [&](const items::stored_path& path) {
        std::size_t slot = items::file_id(path) * std::size_t(0x9E3779B1u) & (slots - 1);
        for (; file_slots[slot]; slot = (slot + 1) & (slots - 1)) {
            if (paths[file_slots[slot] - 1] == path) return file_slots[slot] - 1;
        }
        paths.push_back(path);
        file_slots[slot] = static_cast<std::uint32_t>(paths.size());
        return file_slots[slot] - 1;
    };
    std::vector<std::wstring> tags;  // each tag's path from its root down
    std::vector<std::pair<std::uint32_t, std::uint32_t> > held_tags;  // file, tag
    std::vector<std::pair<items::file_id_t, std::uint32_t> > file_of_id;  // in one root, by id
    for (const items::node_ptr& node : db.children) {
        const items::root_scope& root = static_cast<const items::root_scope&>(*node);
        file_of_id.clear();
        root.id_map.for_each(
            [&](items::file_id_t id, const items::stored_path& path) { file_of_id.emplace_back(id, file_of(path)); });
        std::sort(file_of_id.begin(), file_of_id.end());
        std::vector<std::wstring> chain;
        const std::function<void(const items::base_node&)> walk = [&](const items::base_node& at) {
            chain.push_back(at.name);
            if (at.kind == items::kind_tag) {
                const std::uint32_t tag = static_cast<std::uint32_t>(tags.size());
                tags.push_back(join(chain));
                for (const items::file_id_t id : static_cast<const items::tag&>(at).ids) {
                    // An id the map does not know is no file (a load drops it).
                    const auto found = std::lower_bound(file_of_id.begin(), file_of_id.end(),
                                                        std::make_pair(id, std::uint32_t(0)));
                    if (found != file_of_id.end() && found->first == id) held_tags.emplace_back(found->second, tag);
                }
            }
            for (const items::node_ptr& child : at.children) walk(*child);
            chain.pop_back();
        };
        walk(root);
    }
    // Files and tags numbered in the order they are written (two nodes of one name are one tag).
    std::vector<std::uint32_t> order(paths.size()), file_rank(paths.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    // The order of std::wstring's operator<.
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return paths[a].compare(paths[b]) < 0; });
    for (std::uint32_t rank = 0; rank < order.size(); ++rank) file_rank[order[rank]] = rank;
    std::vector<std::uint32_t> tag_order(tags.size()), tag_rank(tags.size());
    for (std::uint32_t i = 0; i < tag_order.size(); ++i) tag_order[i] = i;
    std::sort(tag_order.begin(), tag_order.end(), [&](std::uint32_t a, std::uint32_t b) { return tags[a] < tags[b]; });
    for (std::uint32_t i = 0; i < tag_order.size(); ++i) {
        const bool repeated = i > 0 && tags[tag_order[i]] == tags[tag_order[i - 1]];
        tag_rank[tag_order[i]] = repeated ? tag_rank[tag_order[i - 1]] : i;
    }
    for (std::pair<std::uint32_t, std::uint32_t>& pair : held_tags) {
        pair = std::make_pair(file_rank[pair.first], tag_rank[pair.second]);
    }
    std::sort(held_tags.begin(), held_tags.end());
    held_tags.erase(std::unique(held_tags.begin(), held_tags.end()), held_tags.end());
    // Each tag written once, as files repeat them.
    std::vector<std::string> tag_text(tags.size());
    for (std::uint32_t i = 0; i < tag_order.size(); ++i) {
        std::string& written = tag_text[tag_rank[tag_order[i]]];
        if (written.empty()) json_strings(written).write(tags[tag_order[i]]);
    }

    // One file a line, so that two exports compare line by line.
    std::string text = "{\"format\": ";
    json_strings strings(text);
    strings.write(L"quibrix-tags");
    text += ", \"version\": " + std::to_string(format_version) + ", \"files\": [";
    count = 0;
    std::wstring scratch;
    for (std::size_t at = 0; at < held_tags.size();) {
        const std::uint32_t file = held_tags[at].first;
        std::size_t end = at;
        while (end < held_tags.size() && held_tags[end].first == file) ++end;
        const std::wstring_view path = paths[order[file]].in(scratch);
        if (only && !std::binary_search(only->begin(), only->end(), path)) {
            at = end;
            continue;
        }
        text += count++ ? ",\n{\"path\": " : "\n{\"path\": ";
        strings.write(path);
        text += ", \"tags\": [";
        for (std::size_t i = at; i < end; ++i) {
            if (i > at) text += ", ";
            text += tag_text[held_tags[i].second];
        }
        text += "]}";
        at = end;
    }
    text += count ? "\n]}\n" : "]}\n";
    return text;
}

// --- import

struct parse_failure {
    std::size_t offset;  // in bytes from the start of the document
    std::wstring message;
};

// Where the parser has read to and where the tokens it read began, kept by the iterator it
// reads through: the parser itself tells the place of syntax errors only.
class reading_place {
public:
    void read(const char* at) {
        const char c = *at;
        reached_ = at + 1;
        if (in_string_) {
            if (escaped_) {
                escaped_ = false;
            } else if (c == '\\') {
                escaped_ = true;
            } else if (c == '"') {
                in_string_ = false;
                between_ = true;
            }
            return;
        }
        const bool blank = c == ' ' || c == '\t' || c == '\n' || c == '\r';
        const bool structural = c == '{' || c == '}' || c == '[' || c == ']' || c == ',' || c == ':';
        if (!blank && (between_ || structural || c == '"')) {
            before_ = token_;
            token_ = at;
        }
        in_string_ = c == '"';
        between_ = blank || structural;
    }
    // Where the value (or the token) the parser has just handed over began. The parser knows a
    // number's end once it has read the character after it, which may have begun a token.
    const char* value_start(bool number) const {
        const bool number_start = token_ && (*token_ == '-' || (*token_ >= '0' && *token_ <= '9'));
        return number && !number_start ? before_ : token_;
    }

private:
    const char* reached_ = nullptr;
    const char* token_ = nullptr;   // where the token read last began
    const char* before_ = nullptr;  // where the one before it began
    bool in_string_ = false, escaped_ = false;
    bool between_ = true;  // the last character read ended a token
};

class tracking_iterator {
public:
    typedef std::input_iterator_tag iterator_category;
    typedef char value_type;
    typedef std::ptrdiff_t difference_type;
    typedef const char* pointer;
    typedef const char& reference;

    tracking_iterator(const char* at, reading_place* place) : at_(at), place_(place) {}
    reference operator*() const { return *at_; }
    tracking_iterator& operator++() {
        place_->read(at_++);
        return *this;
    }
    tracking_iterator operator++(int) {
        tracking_iterator before = *this;
        ++*this;
        return before;
    }
    bool operator==(const tracking_iterator& other) const { return at_ == other.at_; }
    bool operator!=(const tracking_iterator& other) const { return at_ != other.at_; }

private:
    const char* at_;
    reading_place* place_;
};

struct path_map {
    std::wstring from, to;
};

// What the document lists: each file (its path mapped and made full, as written) with the
// tags it is to get, and every tag once.
struct import_list {
    struct file {
        std::wstring path;
        std::vector<std::uint32_t> tags;  // indexes into `tags`
    };
    std::vector<file> files;
    std::vector<std::vector<std::wstring> > tags;  // each as its names from the root down
};

// Reads the document as the parser goes (no tree of it is built) and checks every value where
// it stands, so that each refusal names its place. Unknown fields are passed over: a later
// version of the format may add some.
class import_reader {
public:
    typedef nlohmann::json json;

    import_reader(const std::string& document, const reading_place& place, const std::vector<path_map>& maps)
        : document_(document), place_(place), maps_(maps) {}

    bool null() { return scalar(); }
    bool boolean(bool) { return scalar(); }
    bool number_integer(json::number_integer_t value) { return number(value == format_version); }
    bool number_unsigned(json::number_unsigned_t value) { return number(value == format_version); }
    bool number_float(json::number_float_t, const json::string_t&) { return number(false); }
    bool binary(json::binary_t&) { return scalar(); }

    bool string(json::string_t& value) {
        if (skipping_) return true;
        switch (role()) {
        case role_format:
            if (value == format_name) return true;
            return refuse(L"this is not a quibrix-tags document (its format is \"" + from_utf8(value) + L"\")");
        case role_path:
            return take_path(from_utf8(value));
        case role_tag:
            return take_tag(value);
        case role_skip:
            return true;
        default:
            return wrong_type();
        }
    }

    bool start_object(std::size_t) {
        if (skipping_) return ++skipping_ > 0;
        switch (role()) {
        case role_document:
            stack_.push_back(in_document);
            return true;
        case role_file:
            stack_.push_back(in_file);
            has_path_ = has_tags_ = false;
            list.files.emplace_back();
            // Room for the tags a file usually has, in one block rather than in doublings.
            list.files.back().tags.reserve(8);
            return true;
        case role_skip:
            skipping_ = 1;
            return true;
        default:
            return wrong_type();
        }
    }

    bool end_object() {
        if (skipping_) return --skipping_, true;
        const container left = stack_.back();
        stack_.pop_back();
        if (left == in_file) {
            if (!has_path_) return refuse(L"an entry of \"files\" has no \"path\"");
            if (!has_tags_) return refuse(L"an entry of \"files\" has no \"tags\"");
        } else if (left == in_document) {
            if (!seen_format_) return refuse(L"this is not a quibrix-tags document (it has no \"format\")");
            if (!seen_version_) return refuse(L"the document has no \"version\"");
            if (!seen_files_) return refuse(L"the document has no \"files\"");
        }
        return true;
    }

    bool start_array(std::size_t) {
        if (skipping_) return ++skipping_ > 0;
        switch (role()) {
        case role_files:
            stack_.push_back(in_files);
            return true;
        case role_tags:
            stack_.push_back(in_tags);
            return true;
        case role_skip:
            skipping_ = 1;
            return true;
        default:
            return wrong_type();
        }
    }

    bool end_array() {
        if (skipping_) return --skipping_, true;
        stack_.pop_back();
        return true;
    }

    bool key(json::string_t& name) {
        if (skipping_) return true;
        if (stack_.back() == in_document) {
            key_role_ = name == "format"    ? role_format
                        : name == "version" ? role_version
                        : name == "files"   ? role_files
                                            : role_skip;
            if (key_role_ == role_skip) return true;
            bool& seen = key_role_ == role_format    ? seen_format_
                         : key_role_ == role_version ? seen_version_
                                                     : seen_files_;
            if (seen) return refuse(L"\"" + from_utf8(name) + L"\" is given twice");
            seen = true;
            return true;
        }
        key_role_ = name == "path" ? role_path : name == "tags" ? role_tags : role_skip;
        if (key_role_ == role_skip) return true;
        bool& seen = key_role_ == role_path ? has_path_ : has_tags_;
        if (seen) return refuse(L"\"" + from_utf8(name) + L"\" is given twice in one entry");
        seen = true;
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
        // The library's text reads "[json.exception.parse_error.101] parse error at line 1,
        // column 2: syntax error ..." with the place where it stopped reading; the place told is
        // where the token that did not fit begins.
        std::string what = error.what();
        const std::string::size_type syntax = what.find(": ");
        if (syntax != std::string::npos) what = what.substr(syntax + 2);
        return refuse(from_utf8(what));
    }

    import_list list;
    std::unique_ptr<parse_failure> failure;

private:
    enum container { in_document, in_files, in_file, in_tags };
    enum value_role {
        role_document,
        role_format,
        role_version,
        role_files,
        role_file,
        role_path,
        role_tags,
        role_tag,
        role_skip,  // a field of no meaning here, passed over
    };

    value_role role() const {
        if (stack_.empty()) return role_document;
        switch (stack_.back()) {
        case in_files:
            return role_file;
        case in_tags:
            return role_tag;
        default:
            return key_role_;
        }
    }

    bool scalar() { return skipping_ || role() == role_skip || wrong_type(); }

    bool number(bool is_supported_version) {
        after_number_ = true;
        const bool going_on = number_value(is_supported_version);
        after_number_ = false;
        return going_on;
    }

    bool number_value(bool is_supported_version) {
        if (skipping_ || role() == role_skip) return true;
        if (role() != role_version) return wrong_type();
        if (is_supported_version) return true;
        return refuse(L"this version of the quibrix-tags format is not supported (version " +
                      std::to_wstring(format_version) + L" is)");
    }

    bool wrong_type() {
        switch (role()) {
        case role_document:
            return refuse(L"this is not a quibrix-tags document (it is not a JSON object)");
        case role_format:
            return refuse(L"this is not a quibrix-tags document (\"format\" is not a string)");
        case role_version:
            return refuse(L"\"version\" is not a number");
        case role_files:
            return refuse(L"\"files\" is not a list");
        case role_file:
            return refuse(L"an entry of \"files\" is not an object");
        case role_path:
            return refuse(L"\"path\" is not a string");
        case role_tags:
            return refuse(L"\"tags\" is not a list");
        case role_tag:
            return refuse(L"a tag is not a string");
        default:
            return refuse(L"unexpected value");
        }
    }

    bool refuse(const std::wstring& message) {
        const char* start = place_.value_start(after_number_);
        failure.reset(new parse_failure{start ? static_cast<std::size_t>(start - document_.data()) : 0, message});
        return false;
    }

    bool take_path(std::wstring path) {
        for (const path_map& map : maps_) {
            // Up to a separator: C:\Photos does not begin C:\Photos2\x.jpg.
            const std::size_t n = map.from.size();
            if (path.size() < n || !util::same_name(std::wstring_view(path).substr(0, n), map.from)) continue;
            if (path.size() == n || map.from.back() == L'\\' || path[n] == L'\\' || path[n] == L'/') {
                path = map.to + path.substr(n);
                break;
            }
        }
        const auto separator = [&](std::size_t at) { return path[at] == L'\\' || path[at] == L'/'; };
        const bool drive = path.size() >= 3 && std::iswalpha(path[0]) && path[1] == L':' && separator(2);
        const bool network = path.size() > 2 && separator(0) && separator(1);
        if (!drive && !network) return refuse(L"\"" + path + L"\" is not a full path (a drive or a \\\\server\\share)");
        std::wstring& full = list.files.back().path;
        if (plain(path)) {
            full.swap(path);
        } else {
            // "..", ".", forward slashes and the like as Windows resolves them; no file is looked at.
            const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
            full.assign(needed, L'\0');
            const DWORD length = needed ? ::GetFullPathNameW(path.c_str(), needed, &full[0], nullptr) : 0;
            if (!length || length >= needed) return refuse(L"\"" + path + L"\" is not a path");
            full.resize(length);
        }
        // The store keeps paths without a trailing separator, as the shell hands them over.
        while (full.size() > 3 && full.back() == L'\\') full.pop_back();
        if (full.size() > items::max_stored_path) return refuse(L"the path is too long to store");
        return true;
    }

    // A full path that GetFullPathNameW would give back as it is (the usual case: an export
    // writes such paths): backslashes only, none doubled after a network path's two, and no
    // component that is "." or ".." or ends in a dot or a blank, which Windows drops.
    static bool plain(const std::wstring& path) {
        for (std::size_t at = 2, start = 2; at <= path.size(); ++at) {
            if (at < path.size() && path[at] != L'\\') {
                if (path[at] == L'/') return false;
                continue;
            }
            const std::size_t length = at - start;
            const wchar_t last = length ? path[at - 1] : L'\0';
            if (start > 2 && (length == 0 || last == L'.' || last == L' ')) return false;
            start = at + 1;
        }
        return true;
    }

    bool take_tag(const std::string& utf8) {
        // Most tags come again and again, as written: each text is checked once.
        const auto seen = tag_of_text_.find(utf8);
        if (seen != tag_of_text_.end()) {
            list.files.back().tags.push_back(seen->second);
            return true;
        }
        const std::wstring text = from_utf8(utf8);
        const std::vector<std::wstring> names = items::split_tag_path(text);
        if (names.size() < 2) return refuse(L"the tag \"" + text + L"\" needs a root and a name");
        for (const std::wstring& name : names) {
            if (!util::is_valid_file_name(name)) return refuse(L"'" + name + L"' cannot be a tag name");
        }
        const auto known = tag_index_.emplace(join(names), static_cast<std::uint32_t>(list.tags.size()));
        if (known.second) list.tags.push_back(names);
        list.files.back().tags.push_back(known.first->second);
        tag_of_text_.emplace(utf8, known.first->second);
        return true;
    }

    const std::string& document_;
    const reading_place& place_;
    const std::vector<path_map>& maps_;
    bool after_number_ = false;  // the value being read is a number
    std::vector<container> stack_;
    value_role key_role_ = role_skip;
    int skipping_ = 0;  // depth inside a value passed over
    bool seen_format_ = false, seen_version_ = false, seen_files_ = false;
    bool has_path_ = false, has_tags_ = false;
    any_case_map<std::uint32_t> tag_index_;
    std::unordered_map<std::string, std::uint32_t> tag_of_text_;
};

// Paths as the file system spells them (each existing component in its letter case, as the
// folder lists it), with each folder listed once however many of its files are asked for: one
// look-up per component of every path would take seconds for a large import.
class disk_spelling {
public:
    // `full` (a full path without a trailing separator) spelled so, in place; `exists`: the
    // file or folder is there. What does not exist keeps the spelling given.
    void spell(std::wstring& full, bool& exists) {
        const std::wstring::size_type cut = full.rfind(L'\\');
        const std::wstring::size_type root = root_length(full);
        if (cut == std::wstring::npos || cut < root || full.size() <= root + 1) {
            const folder& top = at(full.substr(0, root));
            exists = top.exists;
            full.replace(0, top.spelled.size(), top.spelled);
            return;
        }
        // Files come folder by folder (an export lists them in path order): the folder of the
        // path before is taken without a look-up.
        const std::wstring_view folder_path(full.data(), cut);
        if (!last_ || folder_path != last_path_) {
            last_ = &at(full.substr(0, cut));
            last_path_.assign(folder_path);
        }
        const entry* found = last_->exists ? find(*last_, full.substr(cut + 1)) : nullptr;
        exists = found != nullptr;
        if (found) full.replace(cut + 1, std::wstring::npos, found->name);
        if (full.compare(0, cut, last_->spelled) != 0) full.replace(0, cut, last_->spelled);
    }

private:
    struct entry {
        std::wstring name;
        bool is_folder;
    };
    struct folder {
        std::wstring spelled;
        bool exists = false;
        bool listed = false;
        any_case_map<entry> entries;  // long and short names
    };

    // "C:" for "C:\...", "\\server\share" for a network path.
    static std::wstring::size_type root_length(const std::wstring& path) {
        if (path.size() >= 2 && path[1] == L':') return 2;
        const std::wstring::size_type server_end = path.find(L'\\', 2);
        if (server_end == std::wstring::npos) return path.size();
        const std::wstring::size_type share_end = path.find(L'\\', server_end + 1);
        return share_end == std::wstring::npos ? path.size() : share_end;
    }

    const entry* find(folder& f, const std::wstring& name) {
        if (!f.listed) {
            f.listed = true;
            WIN32_FIND_DATAW data;
            util::unique_find found(::FindFirstFileW((f.spelled + L"\\*").c_str(), &data));
            if (found) {
                do {
                    const std::wstring listed = data.cFileName;
                    if (listed == L"." || listed == L"..") continue;
                    const entry e = {listed, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0};
                    f.entries.emplace(listed, e);
                    if (data.cAlternateFileName[0]) f.entries.emplace(data.cAlternateFileName, e);
                } while (::FindNextFileW(found.get(), &data));
            }
        }
        const auto it = f.entries.find(name);
        return it == f.entries.end() ? nullptr : &it->second;
    }

    folder& at(const std::wstring& path) {
        std::unique_ptr<folder>& slot = folders_[path];
        if (slot) return *slot;
        std::unique_ptr<folder> made(new folder);
        const std::wstring::size_type root = root_length(path);
        const std::wstring::size_type cut = path.rfind(L'\\');
        if (path.size() <= root || cut == std::wstring::npos || cut < root) {
            made->spelled = path;
            if (path.size() >= 2 && path[1] == L':') made->spelled[0] = static_cast<wchar_t>(std::towupper(path[0]));
            made->exists = ::GetFileAttributesW((path + L"\\").c_str()) != INVALID_FILE_ATTRIBUTES;
        } else {
            folder& parent = at(path.substr(0, cut));
            const std::wstring name = path.substr(cut + 1);
            const entry* found = parent.exists ? find(parent, name) : nullptr;
            made->spelled = parent.spelled + L"\\" + (found ? found->name : name);
            made->exists = found && found->is_folder;
        }
        // The map may have grown while the parents were made: the slot is looked up again.
        std::unique_ptr<folder>& kept = folders_[path];
        kept = std::move(made);
        return *kept;
    }

    any_case_map<std::unique_ptr<folder> > folders_;
    folder* last_ = nullptr;
    std::wstring last_path_;  // its path as the path before gave it
};

bool read_whole(const std::wstring& file, std::string& bytes, DWORD& error) {
    util::unique_file in(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size = {};
    if (!in || !::GetFileSizeEx(in.get(), &size)) {
        error = ::GetLastError();
        return false;
    }
    if (size.QuadPart > 0x7fffffff) {
        error = ERROR_FILE_TOO_LARGE;
        return false;
    }
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    std::size_t at = 0;
    while (at < bytes.size()) {
        DWORD got = 0;
        if (!::ReadFile(in.get(), &bytes[at], static_cast<DWORD>(bytes.size() - at), &got, nullptr)) {
            error = ::GetLastError();
            return false;
        }
        if (got == 0) break;
        at += got;
    }
    bytes.resize(at);
    return true;
}

// "line 3, column 14" of a byte offset; columns count characters.
std::wstring place_of(const std::string& bytes, std::size_t offset) {
    offset = std::min(offset, bytes.size());
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i < offset; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\n') {
            ++line;
            column = 1;
        } else if ((c & 0xC0) != 0x80) {
            ++column;
        }
    }
    return L"line " + std::to_wstring(line) + L", column " + std::to_wstring(column);
}

std::wstring counted(std::size_t n, const wchar_t* one, const wchar_t* many) {
    return std::to_wstring(n) + L" " + (n == 1 ? one : many);
}

struct tags_hasher {
    std::size_t operator()(const std::vector<std::uint32_t>& tags) const {
        std::size_t hash = tags.size();
        for (const std::uint32_t tag : tags) hash = hash * 1000003 ^ tag;
        return hash;
    }
};

// The name tree of one file's tags in one root (`tags` all lie in that root).
items::tree_ptr tree_of(const import_list& list, const std::vector<std::uint32_t>& tags) {
    items::tree_ptr top(new items::tree_node(list.tags[tags.front()].front()));
    for (const std::uint32_t index : tags) {
        const std::vector<std::wstring>& names = list.tags[index];
        items::tree_node* at = top.get();
        for (std::size_t i = 1; i < names.size(); ++i) {
            items::tree_node* child = at->find(names[i]);
            at = child ? child : at->add(names[i]).get();
        }
    }
    return top;
}

}  // namespace

bool is_option(const std::wstring& command, const std::wstring& arg) {
    return (command == L"export" || command == L"import") &&
           (arg == L"--output" || arg == L"--map" || arg == L"--dry-run");
}

bool takes_value(const std::wstring& arg) {
    return arg == L"--output" || arg == L"--map";
}

const wchar_t* help(const std::wstring& command) {
    if (command == L"export") {
        return L"Usage: quibrix export [QUERY] [--output FILE]\n"
               L"Writes every tagged file with all its tags, in path order, as JSON (UTF-8) to\n"
               L"standard output or FILE; with a QUERY (as for 'quibrix files') only the files\n"
               L"that match it:\n"
               L"  {\"format\": \"quibrix-tags\", \"version\": 1, \"files\": [\n"
               L"  {\"path\": \"C:\\\\Docs\\\\paid.pdf\", \"tags\": [\"Work/Invoices\", \"Work/Paid\"]}\n"
               L"  ]}\n"
               L"Exit status 1 when no file is tagged or matches (the document then lists none).\n";
    }
    if (command == L"import") {
        return L"Usage: quibrix import FILE [--map FROM=TO]... [--dry-run]\n"
               L"Gives every file that FILE (written by 'quibrix export') lists the tags it lists,\n"
               L"keeping the tags the files have; missing roots, scopes and tags are made. A path\n"
               L"that begins with FROM (any letter case, up to a backslash) begins with TO instead;\n"
               L"the first --map that matches wins. Prints how many files and tags were given and\n"
               L"how many of the paths do not exist (their tags are kept all the same). --dry-run\n"
               L"prints the same and changes nothing. A document that cannot be read, or names a\n"
               L"tag that cannot be, is refused whole (exit status 2, its line named).\n"
               L"Exit status 1 when FILE lists no tags.\n";
    }
    return nullptr;
}

int export_tags(items::TagsHolder& db, const std::vector<std::wstring>& operands, const options& given) {
    if (operands.size() > 1) return usage_fail(L"export takes at most one QUERY (quote it)");
    std::wstring output;
    for (const auto& option : given) {
        if (option.first != L"--output") return usage_fail(option.first + L" is no option of export");
        if (option.second.empty()) return usage_fail(L"--output needs a FILE");
        output = option.second;
    }
    std::vector<std::wstring> matching;
    if (!operands.empty()) {
        const std::wstring& text = operands[0];
        try {
            matching = items::tag_query::parse(text).files(db);
        } catch (const items::query_error& error) {
            const std::string what = error.what();
            return fail(std::wstring(what.begin(), what.end()) + L" at position " +
                        std::to_wstring(error.position + 1) + L"\n  " + text + L"\n  " +
                        std::wstring(error.position, L' ') + L"^");
        }
        std::sort(matching.begin(), matching.end());
    }
    std::size_t count = 0;
    const std::string text = export_document(db, operands.empty() ? nullptr : &matching, count);
    if (output.empty()) {
        if (!write_to(::GetStdHandle(STD_OUTPUT_HANDLE), text)) {
            return fail(L"cannot write the export" + system_error(::GetLastError()));
        }
    } else {
        util::unique_file out(
            ::CreateFileW(output.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out || !write_to(out.get(), text)) return fail(L"cannot write " + output + system_error(::GetLastError()));
    }
    return count ? exit_ok : exit_nothing;
}

int import_tags(items::TagsHolder& db, const std::vector<std::wstring>& operands, const options& given,
                const std::function<bool()>& open_store) {
    if (operands.size() != 1) return usage_fail(L"import takes one FILE");
    std::vector<path_map> maps;
    bool dry_run = false;
    for (const auto& option : given) {
        if (option.first == L"--dry-run") {
            dry_run = true;
            continue;
        }
        if (option.first != L"--map") return usage_fail(option.first + L" is no option of import");
        const std::wstring::size_type equals = option.second.find(L'=');
        if (equals == 0 || equals == std::wstring::npos) return usage_fail(L"--map needs FROM=TO: " + option.second);
        maps.push_back({option.second.substr(0, equals), option.second.substr(equals + 1)});
    }
    const std::wstring& file = operands[0];
    std::string bytes;
    DWORD error = 0;
    if (!read_whole(file, bytes, error)) return fail(L"cannot read " + file + system_error(error));

    // Everything is read and checked before the store is touched: a document is taken whole or
    // not at all. Following where each token begins costs about as much as the parse: it is
    // done only for a refused document, read again to name the place.
    reading_place unfollowed;
    std::unique_ptr<import_reader> reader(new import_reader(bytes, unfollowed, maps));
    if (!nlohmann::json::sax_parse(bytes.data(), bytes.data() + bytes.size(), reader.get()) || reader->failure) {
        reading_place place;
        reader.reset(new import_reader(bytes, place, maps));
        const tracking_iterator first(bytes.data(), &place), last(bytes.data() + bytes.size(), &place);
        nlohmann::json::sax_parse(first, last, reader.get());
        const std::size_t offset = reader->failure ? reader->failure->offset : bytes.size();
        const std::wstring message = reader->failure ? reader->failure->message : L"the document cannot be read";
        return fail(file + L": " + place_of(bytes, offset) + L": " + message + L"; nothing was imported");
    }

    // Each file once, as the file system spells it, with its tags grouped by root.
    import_list& list = reader->list;
    disk_spelling spelling;
    std::vector<std::vector<std::uint32_t> > tags_of;
    std::vector<std::wstring> paths;
    std::vector<bool> on_disk;
    // The file of a path in any letter case, by open addressing over `paths`: a map keyed by
    // copies of some hundred thousand paths would cost more than the spelling.
    std::size_t slots = 16;
    while (slots < list.files.size() * 2) slots *= 2;
    std::vector<std::uint32_t> file_slots(slots, 0);  // index into `paths` + 1; 0: empty
    std::size_t missing = 0;
    for (import_list::file& entry : list.files) {
        if (entry.tags.empty()) continue;
        bool exists = false;
        spelling.spell(entry.path, exists);
        std::size_t slot = util::name_hash(entry.path) & (slots - 1);
        while (file_slots[slot] && !util::same_name(paths[file_slots[slot] - 1], entry.path)) {
            slot = (slot + 1) & (slots - 1);
        }
        if (!file_slots[slot]) {
            paths.push_back(std::move(entry.path));
            file_slots[slot] = static_cast<std::uint32_t>(paths.size());
            tags_of.push_back(std::move(entry.tags));
            on_disk.push_back(exists);
            missing += exists ? 0 : 1;
        } else {
            std::vector<std::uint32_t>& tags = tags_of[file_slots[slot] - 1];
            tags.insert(tags.end(), entry.tags.begin(), entry.tags.end());
        }
    }
    // Each tag is one name tree, shared by every file that gets it: the engine walks to a tag
    // once, however many files get it. A tag whose names begin another tag's is no tag of that
    // file's tree but a scope above the other: the file's tags in that root go as one tree.
    any_case_map<std::uint32_t> root_index;
    std::vector<std::uint32_t> root_of(list.tags.size());
    any_case_map<bool> scopes;  // every chain of names that lies above a tag
    for (std::size_t i = 0; i < list.tags.size(); ++i) {
        const std::uint32_t next = static_cast<std::uint32_t>(root_index.size());
        root_of[i] = root_index.emplace(list.tags[i].front(), next).first->second;
        const std::vector<std::wstring>& names = list.tags[i];
        for (std::size_t n = 2; n < names.size(); ++n) scopes.emplace(join({names.begin(), names.begin() + n}), true);
    }
    std::vector<bool> above_tag(list.tags.size());
    for (std::size_t i = 0; i < list.tags.size(); ++i) above_tag[i] = scopes.count(join(list.tags[i])) != 0;
    std::vector<items::tree_ptr> tag_trees(list.tags.size());
    std::unordered_map<std::vector<std::uint32_t>, items::tree_ptr, tags_hasher> trees;
    std::vector<items::TagsHolder::file_tags> request(paths.size());
    std::size_t given_tags = 0;
    std::vector<std::uint32_t> in_root;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        std::vector<std::uint32_t>& tags = tags_of[i];
        std::sort(tags.begin(), tags.end(), [&](std::uint32_t a, std::uint32_t b) {
            return root_of[a] != root_of[b] ? root_of[a] < root_of[b] : a < b;
        });
        tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
        given_tags += tags.size();
        request[i].path = std::move(paths[i]);
        // No identity is read from a path found empty.
        request[i].on_disk = on_disk[i];
        request[i].trees.reserve(tags.size());
        for (std::size_t from = 0; from < tags.size();) {
            std::size_t to = from;
            bool as_one = false;
            for (; to < tags.size() && root_of[tags[to]] == root_of[tags[from]]; ++to) as_one |= above_tag[tags[to]];
            if (!as_one) {
                for (; from < to; ++from) {
                    items::tree_ptr& tree = tag_trees[tags[from]];
                    if (!tree) tree = tree_of(list, {tags[from]});
                    request[i].trees.push_back(tree);
                }
                continue;
            }
            in_root.assign(tags.begin() + from, tags.begin() + to);
            auto tree = trees.find(in_root);
            if (tree == trees.end()) tree = trees.emplace(in_root, tree_of(list, in_root)).first;
            request[i].trees.push_back(tree->second);
            from = to;
        }
    }
    // A dry run does not even load the store: a load may write (the snapshot beside the maps).
    if (!dry_run && !request.empty()) {
        if (!open_store()) return exit_error;
        db.give_tags(request);
    }
    write_to(::GetStdHandle(STD_OUTPUT_HANDLE),
             to_utf8(L"imported " + counted(paths.size(), L"file", L"files") + L", " +
                     counted(given_tags, L"tag", L"tags") + L" given, " +
                     counted(missing, L"path does not exist", L"paths do not exist") + L"\n" +
                     (dry_run ? L"dry run: nothing was changed\n" : L"")));
    return paths.empty() ? exit_nothing : exit_ok;
}

}  // namespace transfer
