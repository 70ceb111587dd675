#include "database/navigation.h"

#include "database/tags_holder.h"
#include "util/file_names.h"

#include <algorithm>
#include <iterator>

namespace items {

const wchar_t filtered_items_name[] = L"Filtered Items";

namespace {

const wchar_t chosen_open[] = L"( ";

std::vector<std::uint32_t> intersect(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    std::vector<std::uint32_t> out;
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

std::vector<std::uint32_t> unite(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    std::vector<std::uint32_t> out;
    out.reserve(a.size() + b.size());
    std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

}  // namespace

combine_mode split_combined_name(const std::wstring& name, std::vector<std::wstring>& parts) {
    parts.clear();
    static const struct {
        wchar_t separator;
        combine_mode mode;
    } separators[] = {{L'*', mode_merge}, {L':', mode_exclude}, {L'|', mode_filter}};
    for (const auto& candidate : separators) {
        if (name.find(candidate.separator) == std::wstring::npos) continue;
        std::wstring::size_type start = 0;
        while (start <= name.size()) {
            std::wstring::size_type end = name.find(candidate.separator, start);
            if (end == std::wstring::npos) end = name.size();
            // The name begins with its separator: the empty text before it is not a name.
            if (end > start || start > 0) parts.push_back(name.substr(start, end - start));
            start = end + 1;
        }
        return candidate.mode;
    }
    parts.push_back(name);
    return mode_filter;
}

bool is_filtered_items_name(const std::wstring& name) {
    const std::wstring base(filtered_items_name);
    if (name == base) return true;
    const std::wstring decorated = base + chosen_open;
    return name.size() > decorated.size() && name.compare(0, decorated.size(), decorated) == 0;
}

bool is_query_name(const std::wstring& name) {
    return !name.empty() && name[0] == query_mark;
}

void filtered_item::drop_to(std::size_t depth) {
    while (levels.size() > depth) {
        level& last = levels.back();
        for (hashed_tree_node* node : last.entered) node->number = 0;
        chosen_names.resize(chosen_names.size() - last.chosen_count);
        levels.pop_back();
    }
    if (depth == 0) {
        marks.clear();
        marked = 0;
        root.reset();
        chosen_names.clear();
        return;
    }
    for (std::uint32_t& mark : marks) {
        if (mark >= depth) {
            mark = 0;
            --marked;
        }
    }
}

bool filtered_item::follow(TagsHolder& holder, const std::vector<std::wstring>& path) {
    std::size_t keep = 0;
    if (generation == holder.generation_ && !root.expired()) {
        while (keep < levels.size() && keep < path.size() && util::same_name(levels[keep].name, path[keep])) ++keep;
    }
    drop_to(keep);
    for (std::size_t i = keep; i < path.size(); ++i) {
        if (!enter(holder, path[i])) return false;
    }
    return true;
}

bool filtered_item::enter(TagsHolder& holder, const std::wstring& name) {
    const std::uint32_t depth = static_cast<std::uint32_t>(levels.size());
    level next;
    next.name = name;
    if (depth == 0 && is_query_name(name)) {
        // Evaluated anew whenever the window is listed: it has no root whose changes would
        // tell when its answer is stale.
        try {
            next.matches = tag_query::parse(name.substr(1)).matches(holder);
        } catch (const query_error&) {
            return false;
        }
        next.query = true;
        generation = holder.generation_;
        levels.push_back(next);
        return true;
    }
    if (depth > 0 && levels.front().query) return false;  // a query level holds files only
    if (depth == 0) {
        root_scope* found = util::is_valid_file_name(name) ? holder.root_named(name) : nullptr;
        if (!found) return false;
        hashed_ptr tree(new hashed_tree_node);
        found->export_tree(tree);
        root = found->shared_from_this();
        generation = holder.generation_;
        marks.assign(tree->ids.size(), 0);
        marked = 0;
        next.node = tree;
        levels.push_back(next);
        return true;
    }
    if (is_filtered_items_name(name)) {
        levels.push_back(next);
        return true;
    }
    hashed_tree_node* base = levels.back().node.get();
    if (!base || base->children.empty()) base = levels.front().node.get();

    std::vector<std::wstring> parts;
    const combine_mode mode = split_combined_name(name, parts);
    std::vector<hashed_tree_node*> tags;
    for (const std::wstring& part : parts) {
        hashed_ptr found;
        for (const hashed_ptr& child : base->children) {
            if (util::same_name(child->name, part) && util::is_valid_file_name(part)) {
                found = child;
                break;
            }
        }
        if (!found) {
            for (hashed_tree_node* node : tags) node->number = 0;
            return false;
        }
        next.node = found;
        if (found->children.empty()) {
            found->number = depth;
            tags.push_back(found.get());
        }
    }
    next.entered = tags;
    if (!tags.empty()) {
        std::vector<std::uint32_t> files = tags.front()->ids;
        for (std::size_t i = 1; i < tags.size(); ++i) {
            files = mode == mode_filter ? intersect(files, tags[i]->ids) : unite(files, tags[i]->ids);
        }
        mark_level(files, mode, depth);
        if (mode == mode_merge) {
            std::wstring joined;
            for (hashed_tree_node* node : tags) joined += (joined.empty() ? L"" : L" or ") + node->name;
            chosen_names.push_back(joined);
            next.chosen_count = 1;
        } else {
            for (hashed_tree_node* node : tags) {
                chosen_names.push_back(mode == mode_exclude ? L"not " + node->name : node->name);
            }
            next.chosen_count = tags.size();
        }
    }
    levels.push_back(next);
    return true;
}

void filtered_item::mark_level(const std::vector<std::uint32_t>& files, combine_mode mode, std::uint32_t depth) {
    const std::vector<std::uint32_t>& all = levels.front().node->ids;
    std::vector<std::uint32_t>::const_iterator named = files.begin();
    for (std::size_t i = 0; i < all.size(); ++i) {
        while (named != files.end() && *named < all[i]) ++named;
        const bool is_named = named != files.end() && *named == all[i];
        const bool passes = mode == mode_exclude ? !is_named : is_named;
        if (!passes && marks[i] == 0) {
            marks[i] = depth;
            ++marked;
        }
    }
}

std::uint32_t filtered_item::count_passing(const std::vector<std::uint32_t>& ids) const {
    if (marked == 0) return static_cast<std::uint32_t>(ids.size());
    const std::vector<std::uint32_t>& all = levels.front().node->ids;
    std::uint32_t count = 0;
    // Every id of a node is an id of the root's node: walk both when the node is large, else
    // look each id up.
    if (ids.size() * 16 > all.size()) {
        std::size_t i = 0;
        for (std::uint32_t id : ids) {
            while (i < all.size() && all[i] < id) ++i;
            if (i < all.size() && all[i] == id && marks[i] == 0) ++count;
        }
    } else {
        for (std::uint32_t id : ids) {
            std::vector<std::uint32_t>::const_iterator it = std::lower_bound(all.begin(), all.end(), id);
            if (it != all.end() && *it == id && marks[it - all.begin()] == 0) ++count;
        }
    }
    return count;
}

void filtered_item::list(TagsHolder& holder, shell_item_list& out) const {
    if (levels.empty()) {
        for (const node_ptr& child : holder.children) out.add(item_root, 0, 0, child->name);
        return;
    }
    if (levels.front().query) {
        for (const tag_query::match& file : levels.front().matches) {
            const std::wstring::size_type slash = file.path.rfind(L'\\');
            const std::size_t start = slash == std::wstring::npos ? 0 : slash + 1;
            out.add(item_file, file.id, 0, file.path.data() + start, file.path.size() - start);
        }
        return;
    }
    const std::vector<std::uint32_t>& all = levels.front().node->ids;
    if (!levels.back().node) {
        node_ptr shown = root.lock();
        if (!shown) return;
        const root_scope& shown_root = static_cast<const root_scope&>(*shown);
        out.reserve(all.size() - marked, (all.size() - marked) * 64);
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (marks[i] != 0) continue;
            const std::wstring_view leaf = shown_root.id_map.find(all[i]).name;
            out.add(item_file, all[i], 0, leaf.data(), leaf.size());
        }
        return;
    }
    std::wstring entry_name = filtered_items_name;
    if (!chosen_names.empty()) {
        entry_name += chosen_open;
        for (std::size_t i = 0; i < chosen_names.size(); ++i) entry_name += (i ? L", " : L"") + chosen_names[i];
        entry_name += L" )";
    }
    out.add(item_filtered, 0, static_cast<std::uint32_t>(all.size() - marked), entry_name);
    const hashed_tree_node* node = levels.back().node.get();
    if (node->children.empty()) node = levels.front().node.get();
    for (const hashed_ptr& child : node->children) {
        if (child->number != 0 || !child->flag) continue;
        if (child->ids.empty()) {
            out.add(item_empty_node, 0, 0, child->name);
        } else {
            out.add(item_node, 0, count_passing(child->ids), child->name);
        }
    }
}

// ---- TagsHolder's side of navigation

boost::shared_ptr<filtered_item> TagsHolder::context_for(view_key view, bool create) {
    // Contexts of windows that are gone without closing their views would pile up otherwise.
    if (view_listener* listener = listener_.load()) {
        contexts.erase(std::remove_if(contexts.begin(), contexts.end(),
                                      [listener](const boost::shared_ptr<filtered_item>& context) {
                                          return context->view && listener->view_gone(context->view);
                                      }),
                       contexts.end());
    }
    for (const boost::shared_ptr<filtered_item>& context : contexts) {
        if (context->view == view) return context;
    }
    boost::shared_ptr<filtered_item> context;
    if (!create) return context;
    context.reset(new filtered_item);
    context->view = view;
    contexts.push_back(context);
    return context;
}

bool TagsHolder::list_level(const std::vector<std::wstring>& level_path, view_key view, shell_item_list& out) {
    refresh();  // shows what other processes changed
    const util::lock_guard held = lock();
    out.clear();
    boost::shared_ptr<filtered_item> context = context_for(view, true);
    if (!context->follow(*this, level_path)) {
        // The path names something that no longer exists: the window cannot show it.
        view_listener* listener = listener_.load();
        if (view && listener) listener->view_path_lost(view);
        return false;
    }
    context->list(*this, out);
    return !out.empty();
}

void TagsHolder::view_opened(view_key view) {
    const util::lock_guard held = lock();
    ++context_for(view, true)->views;
}

void TagsHolder::view_closed(view_key view) {
    const util::lock_guard held = lock();
    boost::shared_ptr<filtered_item> context = context_for(view, false);
    if (!context) return;
    // The last view of the window is gone: its display tree is dropped with it.
    if (--context->views <= 0) contexts.erase(std::find(contexts.begin(), contexts.end(), context));
}

}  // namespace items
