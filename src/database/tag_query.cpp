#include "database/tag_query.h"

#include "database/nodes.h"
#include "database/tags_holder.h"

#include <algorithm>
#include <cwctype>
#include <iterator>

namespace items {

// "a and b and c" is one node of three operands, so a long query of names joined by one word
// is wide, not deep: only parentheses and "not" nest, and their depth is bounded.
struct tag_query::node {
    enum kind_t { name, not_op, and_op, or_op } kind = name;
    std::vector<std::wstring> chain;               // for a name
    std::vector<std::shared_ptr<const node> > operands;  // one for not, two or more for and / or
};

namespace {

typedef std::shared_ptr<const tag_query::node> node_ptr_t;

// Deeper nesting is refused rather than followed: the parser and the evaluator recurse once per
// level, on Explorer's threads too (a query typed into the address bar).
const unsigned max_nesting = 100;

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

    node_ptr_t parse_or() { return parse_chain(tag_query::node::or_op, token::or_op); }
    node_ptr_t parse_and() { return parse_chain(tag_query::node::and_op, token::and_op); }

    // Operands joined by one operator: `and` chains stand inside `or` chains.
    node_ptr_t parse_chain(tag_query::node::kind_t kind, token::kind_t joiner) {
        node_ptr_t first = kind == tag_query::node::or_op ? parse_and() : parse_not();
        if (current_.kind != joiner) return first;
        std::shared_ptr<tag_query::node> chain = std::make_shared<tag_query::node>();
        chain->kind = kind;
        chain->operands.push_back(first);
        while (current_.kind == joiner) {
            advance();
            chain->operands.push_back(kind == tag_query::node::or_op ? parse_and() : parse_not());
        }
        return chain;
    }
    node_ptr_t parse_not() {
        if (current_.kind != token::not_op) return parse_primary();
        const level nested(*this);
        advance();
        std::shared_ptr<tag_query::node> result = std::make_shared<tag_query::node>();
        result->kind = tag_query::node::not_op;
        result->operands.push_back(parse_not());
        return result;
    }
    node_ptr_t parse_primary() {
        if (current_.kind == token::open) {
            const level nested(*this);
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

    // One "(" or "not" entered; the one past the bound is named in the error.
    class level {
    public:
        explicit level(parser& owner) : owner_(owner) {
            if (++owner_.depth_ > max_nesting) {
                throw query_error("more than " + std::to_string(max_nesting) + " nested parentheses or 'not'",
                                  owner_.current_.at);
            }
        }
        ~level() { --owner_.depth_; }
        level(const level&) = delete;
        level& operator=(const level&) = delete;

    private:
        parser& owner_;
    };

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
    unsigned depth_ = 0;
    token current_;
};

// Sets of files are sorted vectors of ids: an id names one file in every root that holds it
// (a path whose hash another path took gets the next id no root uses), so sets of several
// roots combine as integers, and ids become paths only for the answer.
typedef std::vector<file_id_t> id_list;

// A set, or with `complement` every tagged file except the set: "A and not B" is then a
// difference, and the whole store's ids are gathered only when the answer itself is a
// complement.
struct file_set {
    id_list ids;
    bool complement = false;
    // Roots whose maps the ids are still to be found in: a tag may hold an id its root has
    // dropped, and such an id names no file there. Each check misses the cache in a large map,
    // so it waits until an intersection or a difference has left few ids to check.
    std::vector<const root_scope*> unchecked;
};

bool in_every_map(const std::vector<const root_scope*>& roots, file_id_t id) {
    for (const root_scope* root : roots) {
        if (!root->id_map.contains(id)) return false;
    }
    return true;
}

void check(file_set& set) {
    if (set.unchecked.empty()) return;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < set.ids.size(); ++i) {
        // The slots are asked for a few ids ahead.
        if (i + 16 < set.ids.size()) {
            for (const root_scope* root : set.unchecked) root->id_map.prefetch_slot(set.ids[i + 16]);
        }
        if (in_every_map(set.unchecked, set.ids[i])) set.ids[kept++] = set.ids[i];
    }
    set.ids.resize(kept);
    set.unchecked.clear();
}

void add_unchecked(std::vector<const root_scope*>& to, const std::vector<const root_scope*>& from) {
    for (const root_scope* root : from) {
        if (std::find(to.begin(), to.end(), root) == to.end()) to.push_back(root);
    }
}

void collect(const base_node& node, id_list& ids) {
    if (node.kind == kind_tag) {
        const tag& leaf = static_cast<const tag&>(node);
        ids.insert(ids.end(), leaf.ids.begin(), leaf.ids.end());
        return;
    }
    for (const node_ptr& child : node.children) collect(*child, ids);
}

// Sorts `from` into `ids` (which it replaces), each id once. `scratch` is a buffer the caller
// keeps from one set to the next: at a million files a set's buffers are large enough for the
// heap to give each one fresh pages, whose faults cost nearly as much as the sort.
void sort_unique(const id_list& from, id_list& ids, id_list& scratch) {
    if (from.size() < 4096) {
        if (&from != &ids) ids.assign(from.begin(), from.end());
        std::sort(ids.begin(), ids.end());
    } else {
        // Three passes of eleven bits: a comparison sort's cost per id grows with the tag, and
        // a million-file store's largest tags hold hundreds of thousands of ids. The three
        // digits are counted in one read.
        std::vector<std::size_t> starts(3 * 2049);
        for (file_id_t id : from) {
            ++starts[(id & 2047) + 1];
            ++starts[2049 + ((id >> 11) & 2047) + 1];
            ++starts[2 * 2049 + ((id >> 22) & 2047) + 1];
        }
        for (std::size_t digit = 0; digit < 3; ++digit) {
            std::size_t* at = &starts[digit * 2049];
            for (std::size_t d = 1; d < 2049; ++d) at[d] += at[d - 1];
        }
        // from -> scratch -> ids -> scratch, then the buffers change places: `from` may be
        // `ids` itself, which the first pass has read whole before the second writes it.
        const std::size_t n = from.size();
        if (scratch.size() < n) scratch.resize(n);
        if (ids.size() < n) ids.resize(n);
        std::size_t* at = &starts[0];
        for (file_id_t id : from) scratch[at[id & 2047]++] = id;
        at = &starts[2049];
        for (std::size_t i = 0; i < n; ++i) ids[at[(scratch[i] >> 11) & 2047]++] = scratch[i];
        at = &starts[2 * 2049];
        for (std::size_t i = 0; i < n; ++i) scratch[at[(ids[i] >> 22) & 2047]++] = ids[i];
        ids.swap(scratch);
        ids.resize(n);
    }
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

// The ids of `a` that `b` holds, written over `a`: the output never passes the input.
void intersect(id_list& a, const id_list& b) {
    std::size_t kept = 0;
    auto at = b.begin();
    for (file_id_t id : a) {
        while (at != b.end() && *at < id) ++at;
        if (at == b.end()) break;
        if (*at == id) a[kept++] = id;
    }
    a.resize(kept);
}

// The ids of `a` less those of `b` that pass b's checks, written over `a`: only the ids both
// hold are checked.
void subtract(id_list& a, const file_set& b) {
    std::size_t kept = 0;
    auto at = b.ids.begin();
    for (file_id_t id : a) {
        while (at != b.ids.end() && *at < id) ++at;
        if (at == b.ids.end() || *at != id || !in_every_map(b.unchecked, id)) a[kept++] = id;
    }
    a.resize(kept);
}

id_list union_of(const id_list& a, const id_list& b) {
    id_list out;
    out.reserve(a.size() + b.size());
    std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

typedef std::pair<stored_path, file_id_t> path_entry;

// The unit of `entry`'s path at `depth`, one up, or 0 past its end (which sorts first).
std::uint32_t unit_at(const path_entry& entry, std::size_t depth) {
    return depth < entry.first.size() ? static_cast<std::uint32_t>(entry.first[depth]) + 1 : 0;
}

bool less_from(const path_entry& a, const path_entry& b, std::size_t depth) {
    const int order = a.first.from(depth).compare(b.first.from(depth));
    return order < 0 || (order == 0 && a.second < b.second);
}

// Sorts as std::sort on the pairs does (by path in UTF-16 units, then by id), but as a
// multikey quicksort: the paths of an answer share long folder prefixes, which a comparison
// sort compares again in every one of its comparisons, and which this one passes once per
// group. Ranges wait on a stack of their own: the depth of a path is not bounded by much.
void sort_by_path(std::vector<path_entry>& entries) {
    struct range {
        std::size_t begin, end, depth;
    };
    std::vector<range> pending;
    if (entries.size() > 1) pending.push_back(range{0, entries.size(), 0});
    while (!pending.empty()) {
        const range r = pending.back();
        pending.pop_back();
        if (r.end - r.begin < 16) {
            for (std::size_t i = r.begin + 1; i < r.end; ++i) {
                const path_entry moving = entries[i];
                std::size_t at = i;
                for (; at > r.begin && less_from(moving, entries[at - 1], r.depth); --at) entries[at] = entries[at - 1];
                entries[at] = moving;
            }
            continue;
        }
        // The median of three units as the pivot; then three parts: below, equal, above it.
        const std::uint32_t a = unit_at(entries[r.begin], r.depth);
        const std::uint32_t b = unit_at(entries[r.begin + (r.end - r.begin) / 2], r.depth);
        const std::uint32_t c = unit_at(entries[r.end - 1], r.depth);
        const std::uint32_t pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
        std::size_t below = r.begin, i = r.begin, above = r.end;
        while (i < above) {
            const std::uint32_t unit = unit_at(entries[i], r.depth);
            if (unit < pivot) {
                std::swap(entries[below++], entries[i++]);
            } else if (unit > pivot) {
                std::swap(entries[i], entries[--above]);
            } else {
                ++i;
            }
        }
        if (below - r.begin > 1) pending.push_back(range{r.begin, below, r.depth});
        if (r.end - above > 1) pending.push_back(range{above, r.end, r.depth});
        if (above - below > 1) {
            if (pivot == 0) {
                // One path: its entries go by id.
                std::sort(entries.begin() + static_cast<std::ptrdiff_t>(below),
                          entries.begin() + static_cast<std::ptrdiff_t>(above),
                          [](const path_entry& x, const path_entry& y) { return x.second < y.second; });
            } else {
                pending.push_back(range{below, above, r.depth + 1});
            }
        }
    }
}

class evaluator {
public:
    explicit evaluator(TagsHolder& db) : db_(db) {}

    // "a or b" is "not (not a and not b)": both are one "and" of sides that may be negated.
    static file_set combine(bool is_and, file_set& a, file_set& b) {
        const bool a_negated = a.complement == is_and;
        const bool b_negated = b.complement == is_and;
        file_set out;
        if (!a_negated && !b_negated) {
            intersect(a.ids, b.ids);
            out.ids.swap(a.ids);
            out.unchecked = a.unchecked;
            add_unchecked(out.unchecked, b.unchecked);
        } else if (!a_negated) {
            subtract(a.ids, b);
            out.ids.swap(a.ids);
            out.unchecked = a.unchecked;
        } else if (!b_negated) {
            subtract(b.ids, a);
            out.ids.swap(b.ids);
            out.unchecked = b.unchecked;
        } else {
            // not a and not b: an unchecked id of either would take a file out of the answer.
            check(a);
            check(b);
            out.ids = union_of(a.ids, b.ids);
            out.complement = true;
        }
        if (!is_and) out.complement = !out.complement;
        return out;
    }

    file_set run(const tag_query::node& n) {
        switch (n.kind) {
        case tag_query::node::name:
            return files_at(n.chain);
        case tag_query::node::not_op: {
            file_set inner = run(*n.operands.front());
            inner.complement = !inner.complement;
            return inner;
        }
        case tag_query::node::and_op:
        case tag_query::node::or_op:
            break;
        }
        const bool is_and = n.kind == tag_query::node::and_op;
        file_set out = run(*n.operands.front());
        for (std::size_t i = 1; i < n.operands.size(); ++i) {
            file_set next = run(*n.operands[i]);
            out = combine(is_and, out, next);
        }
        return out;
    }

    // The matching files with their paths, sorted by path, each path once: views into the
    // roots' tables.
    std::vector<path_entry> answer(file_set found) {
        check(found);
        id_list ids;
        if (found.complement) {
            ids = universe();
            subtract(ids, found);
        } else {
            ids.swap(found.ids);
        }
        // The roots the query named hold most answers: they are asked first.
        std::vector<const root_scope*> order = named_;
        for (const node_ptr& child : db_.children) {
            const root_scope* root = static_cast<const root_scope*>(child.get());
            if (std::find(named_.begin(), named_.end(), root) == named_.end()) order.push_back(root);
        }
        std::vector<path_entry> views;
        views.reserve(ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) {
            // A large map misses the cache at every id: the slots are asked for a few ahead.
            if (i + 16 < ids.size() && !order.empty()) order.front()->id_map.prefetch_slot(ids[i + 16]);
            const file_id_t id = ids[i];
            for (const root_scope* root : order) {
                const stored_path path = root->id_map.find(id);
                if (!path.empty()) {
                    views.emplace_back(path, id);
                    break;
                }
            }
        }
        sort_by_path(views);
        // Of two ids with one path (stores written before ids were unique), the lower answers.
        views.erase(std::unique(views.begin(), views.end(),
                                [](const path_entry& a, const path_entry& b) { return a.first == b.first; }),
                    views.end());
        return views;
    }

private:
    file_set files_at(const std::vector<std::wstring>& chain) {
        file_set found;
        node_ptr node = db_.find_child(chain[0]);
        if (!node) return found;
        const root_scope* root = static_cast<const root_scope*>(node.get());
        for (std::size_t i = 1; node && i < chain.size(); ++i) node = node->find_child(chain[i]);
        if (!node) return found;
        if (std::find(named_.begin(), named_.end(), root) == named_.end()) named_.push_back(root);
        if (node->kind == kind_tag) {
            sort_unique(static_cast<const tag&>(*node).ids, found.ids, scratch_);
        } else {
            collect(*node, found.ids);
            sort_unique(found.ids, found.ids, scratch_);
        }
        found.unchecked.push_back(root);
        return found;
    }

    // Every tagged file of every root, from the roots' id tables.
    const id_list& universe() {
        if (!universe_made_) {
            std::size_t total = 0;
            for (const node_ptr& child : db_.children) total += static_cast<const root_scope*>(child.get())->id_map.size();
            universe_.reserve(total);
            for (const node_ptr& child : db_.children) {
                static_cast<const root_scope*>(child.get())->id_map.for_each(
                    [this](file_id_t id, const stored_path&) { universe_.push_back(id); });
            }
            sort_unique(universe_, universe_, scratch_);
            universe_made_ = true;
        }
        return universe_;
    }

    TagsHolder& db_;
    std::vector<const root_scope*> named_;
    id_list universe_;
    bool universe_made_ = false;
    id_list scratch_;  // sort_unique's buffer, kept from one set to the next
};

// As evaluator::combine sets it: "a and b" is a complement when both are, "a or b" when
// either is.
bool is_complement(const tag_query::node& n) {
    switch (n.kind) {
    case tag_query::node::name:
        return false;
    case tag_query::node::not_op:
        return !is_complement(*n.operands.front());
    case tag_query::node::and_op:
    case tag_query::node::or_op:
        break;
    }
    const bool is_and = n.kind == tag_query::node::and_op;
    bool out = is_complement(*n.operands.front());
    for (std::size_t i = 1; i < n.operands.size(); ++i) {
        const bool operand = is_complement(*n.operands[i]);
        out = is_and ? out && operand : out || operand;
    }
    return out;
}

typedef std::function<std::vector<file_id_t>(const std::vector<std::wstring>&)> files_of_name;

// evaluator::run over sets that the caller reads itself.
file_set evaluate(const tag_query::node& n, const files_of_name& files_of) {
    file_set out;
    switch (n.kind) {
    case tag_query::node::name:
        out.ids = files_of(n.chain);
        return out;
    case tag_query::node::not_op:
        out = evaluate(*n.operands.front(), files_of);
        out.complement = !out.complement;
        return out;
    case tag_query::node::and_op:
    case tag_query::node::or_op:
        break;
    }
    const bool is_and = n.kind == tag_query::node::and_op;
    out = evaluate(*n.operands.front(), files_of);
    for (std::size_t i = 1; i < n.operands.size(); ++i) {
        file_set next = evaluate(*n.operands[i], files_of);
        out = evaluator::combine(is_and, out, next);
    }
    return out;
}

void gather_names(const tag_query::node& n, std::vector<std::vector<std::wstring> >& out) {
    if (n.kind == tag_query::node::name) out.push_back(n.chain);
    for (const node_ptr_t& operand : n.operands) gather_names(*operand, out);
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

std::vector<tag_query::match> tag_query::matches(TagsHolder& db) const {
    const util::lock_guard held = db.lock();
    evaluator run(db);
    const std::vector<path_entry> found = run.answer(run.run(*root_));
    std::vector<match> out;
    out.reserve(found.size());
    for (const path_entry& entry : found) out.push_back(match{entry.second, entry.first.str()});
    return out;
}

std::vector<stored_path> tag_query::paths(TagsHolder& db) const {
    const util::lock_guard held = db.lock();
    evaluator run(db);
    const std::vector<path_entry> found = run.answer(run.run(*root_));
    std::vector<stored_path> out;
    out.reserve(found.size());
    for (const path_entry& entry : found) out.push_back(entry.first);
    return out;
}

bool tag_query::reaches_every_root() const { return is_complement(*root_); }

std::vector<file_id_t> tag_query::ids(const files_of_name& files_of) const {
    file_set found = evaluate(*root_, files_of);
    if (found.complement) throw std::logic_error("the query reaches every root");
    return std::move(found.ids);
}

std::vector<std::wstring> tag_query::files(TagsHolder& db) const {
    std::vector<match> found = matches(db);
    std::vector<std::wstring> paths;
    paths.reserve(found.size());
    for (match& entry : found) paths.push_back(std::move(entry.path));
    return paths;
}

std::vector<std::vector<std::wstring> > tag_query::names() const {
    std::vector<std::vector<std::wstring> > out;
    gather_names(*root_, out);
    return out;
}

}  // namespace items
