#include "database/nodes.h"

#include <algorithm>

namespace items {

tag::tag(const std::wstring& node_name, base_node* parent_node) : base_node(node_name, parent_node) {
    kind = kind_tag;
}

bool tag::load() {
    std::vector<unsigned char> bytes;
    // A file that exists but cannot be read now (held by another program) is kept: dropping it
    // would let its scope, and then the root with its map, erase themselves from disk.
    if (!store::read_file(path, bytes)) {
        unread_ = true;
        return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    unread_ = false;
    if (bytes.empty()) return false;
    // A size that is not a multiple of 4 means a torn append: rewrite, or the next append would
    // land after the torn bytes and shift every later id.
    bool damaged = !store::decode_ids(bytes, ids);
    const std::size_t read = ids.size();
    validate_ids(ids);
    index_.clear();
    indexed_ = false;
    unwritten_from_ = ids.size();
    if ((damaged || ids.size() != read) && !ids.empty()) rewrite();
    return !ids.empty();
}

void tag::build_index() {
    if (indexed_) return;
    index_.reserve(ids.size());
    for (file_id_t id : ids) index_.insert(id);
    indexed_ = true;
}

bool tag::contains(file_id_t id) {
    build_index();
    return index_.contains(id);
}

bool tag::insert_id(file_id_t id) {
    build_index();
    if (!index_.insert(id)) return false;
    ids.push_back(id);
    return true;
}

bool tag::erase_id(file_id_t id) {
    build_index();
    if (!index_.erase(id)) return false;
    ids.erase(std::find(ids.begin(), ids.end(), id));
    unwritten_from_ = std::min(unwritten_from_, ids.size());
    return true;
}

void tag::add_file(const std::wstring& file_path, const tree_node&) {
    // Its ids were never read: a later rewrite from memory would drop them from the file.
    if (unread_ && (!load() || unread_)) throw store_error(error_cannot_open);
    if (!insert_id(file_id(file_path))) return;
    append_new_ids();
}

void tag::append_new_ids() {
    if (!g_immediate_write) {
        clean = false;
        unwritten_from_ = ids.size();
        return;
    }
    if (!append_batch::defer(this, in_batch_)) flush_appends();
}

void tag::flush_appends() {
    in_batch_ = false;
    if (unwritten_from_ >= ids.size()) return;
    std::vector<unsigned char> bytes;
    store::encode_ids(ids, unwritten_from_, bytes);
    try {
        store::append_file(path, bytes, true);
    } catch (const store_error&) {
        // The disk never got these ids: take them back, so memory does not claim what a restart
        // would lose. A tag left with nothing leaves its parent (and empties climb).
        while (ids.size() > unwritten_from_) {
            index_.erase(ids.back());
            ids.pop_back();
        }
        if (ids.empty() && parent) {
            node_ptr self = shared_from_this();
            parent->remove_child(this);
        }
        throw;
    }
    unwritten_from_ = ids.size();
}

void tag::rewrite() {
    if (!g_immediate_write) {
        clean = false;
        unwritten_from_ = ids.size();
        return;
    }
    std::vector<unsigned char> bytes;
    store::encode_ids(ids, 0, bytes);
    store::replace_file(path, bytes, data_folder());
    unwritten_from_ = ids.size();
}

bool tag::remove_file(file_id_t id, const tree_node*) {
    if (!erase_id(id)) return false;
    if (ids.empty()) {
        erase_from_disk();
        return true;
    }
    rewrite();
    return false;
}

void tag::collect_ids(std::set<file_id_t>& out) {
    out.insert(ids.begin(), ids.end());
}

void tag::save() {
    if (clean) return;
    std::vector<unsigned char> bytes;
    store::encode_ids(ids, 0, bytes);
    store::replace_file(path, bytes, data_folder());
    unwritten_from_ = ids.size();
    clean = true;
}

void tag::export_tree(const hashed_ptr& out) {
    out->name = name;
    out->ids.assign(ids.begin(), ids.end());
    std::sort(out->ids.begin(), out->ids.end());
    out->flag = true;
}

tree_ptr tag::tags_of(file_id_t id) {
    if (!contains(id)) return tree_ptr();
    return tree_ptr(new tree_node(name));
}

void tag::erase_from_disk() {
    ::DeleteFileW(path.c_str());
}

void tag::replace_id(file_id_t old_id, file_id_t new_id) {
    if (!erase_id(old_id)) return;
    insert_id(new_id);
    rewrite();
}

}  // namespace items
