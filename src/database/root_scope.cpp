#include "database/nodes.h"

namespace items {

root_scope::root_scope(const std::wstring& node_name, base_node* parent_node)
    : scope(node_name, parent_node), loaded(false) {
    kind = kind_root;
    path = parent_node ? parent_node->path + node_name : node_name;
}

root_scope::~root_scope() {
    id_map.clear();
    callback.clear();
}

void root_scope::update_path() {
    path = parent ? parent->path + name : name;
    for (const node_ptr& child : children) child->update_path();
}

bool root_scope::load() {
    if (loaded) return true;
    std::vector<wchar_t> units;
    std::size_t size = 0;
    if (!store::read_file(map_path(), units, size)) return false;
    store::map_read_result read;
    if (id_map.empty()) {
        // The paths stay where the file put them: the file's text becomes the map's pool.
        id_map.adopt_pool(std::move(units));
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(id_map.pool().data());
        id_map.reserve(size / 96 + 16, 0);
        read = store::decode_map(bytes, size, [this](file_id_t id, std::size_t offset, std::size_t length) {
            id_map.set_in_pool(id, offset / 2, length);
        });
        id_map.compact_if_sparse();
    } else {
        // Entries made before this load (while its map file was missing) keep their text.
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(units.data());
        const wchar_t* text = units.data();
        read = store::decode_map(bytes, size, [this, text](file_id_t id, std::size_t offset, std::size_t length) {
            id_map.set(id, std::wstring_view(text + offset / 2, length));
        });
    }
    // Void records, a damaged record or a torn tail: write the map clean now, or the next
    // append would land behind the damage and every later record would be unreadable.
    if (read.needs_rewrite) rewrite_map();
    loaded = true;
    return scope::load();
}

void root_scope::validate_ids(std::vector<file_id_t>& list) {
    std::vector<file_id_t>::iterator out = list.begin();
    for (file_id_t id : list) {
        if (id_map.contains(id)) *out++ = id;
    }
    list.erase(out, list.end());
}

void root_scope::add_file(const std::wstring& file_path, const tree_node& tree) {
    if (file_path.empty() || file_path.size() > max_stored_path) throw store_error(error_invalid_name);
    if (!loaded) load();
    scope::add_file(file_path, tree);
    register_path(file_id(file_path), file_path);
}

void root_scope::register_path(file_id_t id, const std::wstring& file_path) {
    if (!id_map.insert(id, file_path)) return;
    if (!g_immediate_write) {
        clean = false;
        return;
    }
    store::encode_map_record(id, file_path, unwritten_records_);
    if (!append_batch::defer(this, in_batch_)) flush_appends();
}

void root_scope::flush_appends() {
    in_batch_ = false;
    if (unwritten_records_.empty()) return;
    // A map file lies beside its root's folder and is written only while that folder exists;
    // until then the records wait for the next flush.
    if (!ensure_folder(true)) return;
    try {
        store::append_file(map_path(), unwritten_records_, true);
    } catch (const store_error&) {
        // A failed or partial append: write the whole map anew in one step instead, so that no
        // torn record hides the ones after it. If that fails too, the records wait for the next
        // flush and the caller hears of it.
        rewrite_map();
    }
    unwritten_records_.clear();
}

void root_scope::rewrite_map() {
    if (!g_immediate_write) {
        clean = false;
        return;
    }
    if (!ensure_folder(true)) return;
    std::vector<unsigned char> bytes;
    id_map.for_each([&bytes](file_id_t id, std::wstring_view file_path) {
        store::encode_map_record(id, file_path, bytes);
    });
    store::replace_file(map_path(), bytes, data_folder());
    unwritten_records_.clear();
}

bool root_scope::remove_file(file_id_t id, const tree_node* tree) {
    const bool emptied = scope::remove_file(id, tree);
    if (emptied) {
        id_map.clear();  // erase_from_disk removed the map file with the folder
        return true;
    }
    // The file leaves the map only when no tag of this root still holds it; dropping it while a
    // tag keeps the id would make the next load discard that tag's id.
    if (id_map.contains(id) && !tags_of(id)) {
        id_map.erase(id);
        if (id_map.empty()) {
            erase_from_disk();
            children.clear();
            return true;
        }
        rewrite_map();
    }
    return false;
}

void root_scope::save() {
    if (!g_immediate_write) return;
    scope::save();
    if (!clean) {
        rewrite_map();
        clean = true;
    }
}

void root_scope::erase_from_disk() {
    scope::erase_from_disk();
    ::DeleteFileW(map_path().c_str());
}

}  // namespace items
