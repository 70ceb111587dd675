#include "database/nodes.h"

#include <memory>

namespace items {

namespace {
thread_local append_batch* g_current_batch = nullptr;
thread_local rewrite_batch* g_current_rewrites = nullptr;
}

append_batch::append_batch() : previous_(g_current_batch) {
    g_current_batch = this;
}

append_batch::~append_batch() {
    try {
        flush();
    } catch (...) {
        // Reported by an explicit flush() where the caller wants it; here the batch only must
        // not leave appends behind.
    }
    g_current_batch = previous_;
}

append_batch* append_batch::current() {
    return g_current_batch;
}

void append_batch::enlist(tag* node) {
    tags_.push_back(node->shared_from_this());
}

void append_batch::enlist(root_scope* node) {
    roots_.push_back(node->shared_from_this());
}

void append_batch::flush() {
    std::vector<node_ptr> tags;
    std::vector<node_ptr> roots;
    tags.swap(tags_);
    roots.swap(roots_);
    std::unique_ptr<store_error> first_error;
    // Map records first: a record whose ids never reached a tag is harmless, while ids whose
    // record is missing would be dropped by the next load.
    for (const node_ptr& node : roots) {
        try {
            static_cast<root_scope*>(node.get())->flush_appends();
        } catch (const store_error& error) {
            if (!first_error) first_error.reset(new store_error(error));
        }
    }
    for (const node_ptr& node : tags) {
        try {
            static_cast<tag*>(node.get())->flush_appends();
        } catch (const store_error& error) {
            if (!first_error) first_error.reset(new store_error(error));
        }
    }
    if (first_error) throw *first_error;
}

rewrite_batch::rewrite_batch() : previous_(g_current_rewrites) {
    g_current_rewrites = this;
}

rewrite_batch::~rewrite_batch() {
    try {
        flush();
    } catch (...) {
        // As append_batch: reported by an explicit flush() where the caller wants it.
    }
    g_current_rewrites = previous_;
}

rewrite_batch* rewrite_batch::current() {
    return g_current_rewrites;
}

void rewrite_batch::enlist(tag* node) {
    node->in_rewrite_batch_ = true;
    tags_.push_back(waiting{node->shared_from_this(), node->ids});
}

void rewrite_batch::flush() {
    std::vector<waiting> tags;
    tags.swap(tags_);
    if (tags.empty()) return;
    std::vector<store::file_replacement> files(tags.size());
    for (std::size_t i = 0; i < tags.size(); ++i) {
        tag& node = static_cast<tag&>(*tags[i].node);
        node.in_rewrite_batch_ = false;
        files[i].path = node.path;
        store::encode_ids(node.ids, 0, files[i].bytes);
    }
    store::replace_files(files, tags[0].node->data_folder());
    std::unique_ptr<store_error> first_error;
    for (std::size_t i = 0; i < tags.size(); ++i) {
        tag& node = static_cast<tag&>(*tags[i].node);
        if (!files[i].code) {
            node.whole_written();
            continue;
        }
        // The file still holds what it held: so does memory, and its stamp stays that file's.
        node.ids.swap(tags[i].on_disk);
        node.index_.clear();
        node.indexed_ = false;
        node.unwritten_from_ = node.ids.size();
        if (!first_error) first_error.reset(new store_error(files[i].code, files[i].error));
    }
    if (first_error) throw *first_error;
}

}  // namespace items
