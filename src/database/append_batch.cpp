#include "database/nodes.h"

#include <memory>

namespace items {

namespace {
thread_local append_batch* g_current_batch = nullptr;
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

}  // namespace items
