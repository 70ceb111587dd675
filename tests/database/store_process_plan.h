// What the store's child processes do, shared by the child and the test that checks its work:
// the files of each worker, the tags they all use, and the seeded choice of each next step.
#pragma once

#include "database/tree_nodes.h"

#include <cstdint>
#include <string>

namespace process_plan {

const int path_count = 8;
const int tag_count = 5;
// Tags 0-2 lie under the root "Shared", 3-4 under "Other".
inline const wchar_t* tag_chain(int tag) {
    static const wchar_t* const chains[tag_count] = {L"Shared/Genre/Rock", L"Shared/Genre/Jazz", L"Shared/Mood",
                                                     L"Other/Year/2020", L"Other/Best"};
    return chains[tag];
}
inline int root_of(int tag) { return tag < 3 ? 0 : 1; }

// Each worker's own files; the last two have one file id.
inline std::wstring path_of(int worker, int index) {
    const std::wstring folder = L"C:\\w" + std::to_wstring(worker) + L"\\";
    if (index == 6) return folder + L"track1b.mp3";
    if (index == 7) return folder + L"track2A.mp3";
    return folder + L"file" + std::to_wstring(index) + L".txt";
}

struct rng {  // splitmix64
    std::uint64_t x;
    std::uint64_t next() {
        std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
};

enum operation : char { op_add = 'A', op_remove = 'R', op_remove_all = 'X', op_list = 'L' };

struct step {
    operation op;
    int path;
    unsigned tags;  // bit t: tag t; the tags of one step lie under one root
};

inline step next_step(rng& random) {
    step s;
    const int roll = random.below(10);
    s.op = roll < 5 ? op_add : roll < 8 ? op_remove : roll < 9 ? op_remove_all : op_list;
    s.path = random.below(path_count);
    const int root = random.below(2);
    s.tags = 0;
    while (s.tags == 0) {
        for (int t = 0; t < tag_count; ++t) {
            if (root_of(t) == root && random.below(2)) s.tags |= 1u << t;
        }
    }
    return s;
}

// The name tree of the tags in `mask` (all under one root).
inline items::tree_ptr tree_of(unsigned mask) {
    items::tree_ptr top;
    for (int t = 0; t < tag_count; ++t) {
        if (!(mask & (1u << t))) continue;
        const std::wstring chain = tag_chain(t);
        std::wstring::size_type start = 0;
        items::tree_node* node = nullptr;
        for (;;) {
            const std::wstring::size_type slash = chain.find(L'/', start);
            const std::wstring name = chain.substr(start, slash == std::wstring::npos ? std::wstring::npos : slash - start);
            if (!node) {
                if (!top) top.reset(new items::tree_node(name));
                node = top.get();
            } else {
                items::tree_node* next = node->find(name);
                node = next ? next : node->add(name).get();
            }
            if (slash == std::wstring::npos) break;
            start = slash + 1;
        }
    }
    return top;
}

}  // namespace process_plan
