#include "database/tag_query.h"

#include "database/nodes.h"
#include "database/tags_holder.h"

#include <algorithm>
#include <cwctype>
#include <iterator>

namespace items {

struct tag_query::node {
    enum kind_t { name, not_op, and_op, or_op } kind = name;
    std::vector<std::wstring> chain;  // for a name
    std::shared_ptr<const node> left, right;
};

namespace {

typedef std::shared_ptr<const tag_query::node> node_ptr_t;

struct token {
    enum kind_t { word, and_op, or_op, not_op, open, close, end } kind = end;
    std::wstring text;
    std::size_t at = 0;
};

bool is_keyword(const std::wstring& text, const wchar_t* keyword) {
    if (text.size() != std::char_traits<wchar_t>::length(keyword)) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (std::towlower(text[i]) != keyword[i]) return false;
    }
    return true;
}

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

class parser {
public:
    explicit parser(const std::wstring& text) : text_(text) { advance(); }

    node_ptr_t parse_all() {
        if (current_.kind == token::end) throw query_error("empty query", 0);
        node_ptr_t result = parse_or();
        if (current_.kind != token::end) throw query_error("unexpected " + describe(current_), current_.at);
        return result;
    }

private:
    static std::string describe(const token& t) {
        switch (t.kind) {
        case token::close: return "')'";
        case token::open: return "'('";
        case token::and_op: return "'and'";
        case token::or_op: return "'or'";
        case token::not_op: return "'not'";
        case token::end: return "end of query";
        case token::word: return "name '" + narrow(t.text) + "'";
        }
        return "token";
    }

    node_ptr_t parse_or() {
        node_ptr_t left = parse_and();
        while (current_.kind == token::or_op) {
            advance();
            left = combine(tag_query::node::or_op, left, parse_and());
        }
        return left;
    }
    node_ptr_t parse_and() {
        node_ptr_t left = parse_not();
        while (current_.kind == token::and_op) {
            advance();
            left = combine(tag_query::node::and_op, left, parse_not());
        }
        return left;
    }
    node_ptr_t parse_not() {
        if (current_.kind != token::not_op) return parse_primary();
        advance();
        std::shared_ptr<tag_query::node> result = std::make_shared<tag_query::node>();
        result->kind = tag_query::node::not_op;
        result->left = parse_not();
        return result;
    }
    node_ptr_t parse_primary() {
        if (current_.kind == token::open) {
            const std::size_t open_at = current_.at;
            advance();
            if (current_.kind == token::close) throw query_error("empty parentheses", current_.at);
            node_ptr_t inner = parse_or();
            if (current_.kind != token::close) {
                throw query_error(current_.kind == token::end ? "'(' is never closed" : "expected ')' before " + describe(current_),
                                  current_.kind == token::end ? open_at : current_.at);
            }
            advance();
            return inner;
        }
        if (current_.kind != token::word) throw query_error("expected a tag name before " + describe(current_), current_.at);
        std::shared_ptr<tag_query::node> result = std::make_shared<tag_query::node>();
        result->chain = split_tag_path(current_.text);
        if (result->chain.empty()) throw query_error("a tag name cannot be empty", current_.at);
        advance();
        return result;
    }
    static node_ptr_t combine(tag_query::node::kind_t kind, const node_ptr_t& left, const node_ptr_t& right) {
        std::shared_ptr<tag_query::node> result = std::make_shared<tag_query::node>();
        result->kind = kind;
        result->left = left;
        result->right = right;
        return result;
    }

    void advance() {
        while (pos_ < text_.size() && std::iswspace(text_[pos_])) ++pos_;
        current_ = token();
        current_.at = pos_;
        if (pos_ >= text_.size()) return;
        const wchar_t c = text_[pos_];
        if (c == L'(' || c == L')') {
            current_.kind = c == L'(' ? token::open : token::close;
            ++pos_;
            return;
        }
        current_.kind = token::word;
        if (c == L'"') {
            // A quoted name: "" stands for one quote.
            ++pos_;
            for (;;) {
                if (pos_ >= text_.size()) throw query_error("a quoted name is never closed", current_.at);
                if (text_[pos_] == L'"') {
                    if (pos_ + 1 < text_.size() && text_[pos_ + 1] == L'"') {
                        current_.text += L'"';
                        pos_ += 2;
                        continue;
                    }
                    ++pos_;
                    break;
                }
                current_.text += text_[pos_++];
            }
            return;
        }
        while (pos_ < text_.size() && !std::iswspace(text_[pos_]) && text_[pos_] != L'(' && text_[pos_] != L')') {
            if (text_[pos_] == L'"') throw query_error("a quote inside a name", pos_);
            current_.text += text_[pos_++];
        }
        if (is_keyword(current_.text, L"and")) current_.kind = token::and_op;
        else if (is_keyword(current_.text, L"or")) current_.kind = token::or_op;
        else if (is_keyword(current_.text, L"not")) current_.kind = token::not_op;
    }

    const std::wstring& text_;
    std::size_t pos_ = 0;
    token current_;
};

// Sets of files are sorted vectors of paths (views into the roots' maps, valid while the lock
// is held): ids are unique only within one root tag, while a query may combine several roots.
// The order is by the path's hash first, so that most comparisons are of integers.
struct file_entry {
    file_id_t hash;
    std::wstring_view path;
    bool operator<(const file_entry& other) const {
        return hash != other.hash ? hash < other.hash : path < other.path;
    }
    bool operator==(const file_entry& other) const { return hash == other.hash && path == other.path; }
};
typedef std::vector<file_entry> file_set;

file_entry entry_of(std::wstring_view path) {
    file_id_t hash = 0;
    for (wchar_t c : path) hash = hash * 33 + static_cast<std::uint16_t>(c);
    return file_entry{hash, path};
}

void collect(const base_node& node, std::vector<file_id_t>& ids) {
    if (node.kind == kind_tag) {
        const tag& leaf = static_cast<const tag&>(node);
        ids.insert(ids.end(), leaf.ids.begin(), leaf.ids.end());
        return;
    }
    for (const node_ptr& child : node.children) collect(*child, ids);
}

void sort_unique(file_set& files) {
    std::sort(files.begin(), files.end());
    files.erase(std::unique(files.begin(), files.end()), files.end());
}

file_set files_at(TagsHolder& db, const std::vector<std::wstring>& chain) {
    node_ptr found = db.find_child(chain[0]);
    if (!found) return file_set();
    const root_scope* root = static_cast<const root_scope*>(found.get());
    for (std::size_t i = 1; found && i < chain.size(); ++i) found = found->find_child(chain[i]);
    if (!found) return file_set();
    std::vector<file_id_t> ids;
    collect(*found, ids);
    file_set files;
    files.reserve(ids.size());
    for (file_id_t id : ids) {
        const std::wstring_view path = root->id_map.find(id);
        if (!path.empty()) files.push_back(entry_of(path));
    }
    sort_unique(files);
    return files;
}

file_set all_files(TagsHolder& db) {
    file_set files;
    for (const node_ptr& child : db.children) {
        static_cast<const root_scope*>(child.get())->id_map.for_each(
            [&files](file_id_t, std::wstring_view path) { files.push_back(entry_of(path)); });
    }
    sort_unique(files);
    return files;
}

class evaluator {
public:
    explicit evaluator(TagsHolder& db) : db_(db) {}

    file_set run(const tag_query::node& n) {
        file_set out;
        switch (n.kind) {
        case tag_query::node::name:
            return files_at(db_, n.chain);
        case tag_query::node::not_op: {
            const file_set inner = run(*n.left);
            const file_set& all = universe();
            std::set_difference(all.begin(), all.end(), inner.begin(), inner.end(), std::back_inserter(out));
            return out;
        }
        case tag_query::node::and_op:
        case tag_query::node::or_op: {
            const file_set a = run(*n.left);
            const file_set b = run(*n.right);
            if (n.kind == tag_query::node::and_op) {
                std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
            } else {
                std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
            }
            return out;
        }
        }
        return out;
    }

private:
    // Every tagged file, made once for all the "not" of a query.
    const file_set& universe() {
        if (!universe_made_) {
            universe_ = all_files(db_);
            universe_made_ = true;
        }
        return universe_;
    }

    TagsHolder& db_;
    file_set universe_;
    bool universe_made_ = false;
};

void gather_names(const tag_query::node& n, std::vector<std::vector<std::wstring> >& out) {
    if (n.kind == tag_query::node::name) out.push_back(n.chain);
    if (n.left) gather_names(*n.left, out);
    if (n.right) gather_names(*n.right, out);
}

}  // namespace

std::vector<std::wstring> split_tag_path(const std::wstring& path) {
    std::vector<std::wstring> names;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t slash = path.find(L'/', start);
        if (slash == std::wstring::npos) slash = path.size();
        if (slash > start) names.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return names;
}

tag_query tag_query::parse(const std::wstring& text) {
    tag_query query;
    query.root_ = parser(text).parse_all();
    return query;
}

std::vector<std::wstring> tag_query::files(TagsHolder& db) const {
    const util::lock_guard held = db.lock();
    const file_set found = evaluator(db).run(*root_);
    std::vector<std::wstring> paths;
    paths.reserve(found.size());
    for (const file_entry& entry : found) paths.emplace_back(entry.path);
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::vector<std::vector<std::wstring> > tag_query::names() const {
    std::vector<std::vector<std::wstring> > out;
    gather_names(*root_, out);
    return out;
}

}  // namespace items
