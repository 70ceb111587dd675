// The item identifier of the virtual folder: one SHITEMID with the signature "mqbx".
//   0 u16 cb (16 + name bytes with its NUL)   2 "mqbx"   6 u16 kind
//   8 u32 file id (file items only)          12 u32 count (kinds 3, 4)   16 name, NUL-terminated
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace items {

enum ItemKind : std::uint16_t {
    item_root = 1,          // a root tag
    item_empty_node = 2,    // a scope or tag with no files at or below it
    item_node = 3,          // a scope or tag with files, or a filter / exclude / merge view
    item_filtered = 4,      // the "Filtered Items" entry
    item_file = 5,          // a tagged file
    item_query = 6,         // a level named by a tag query (its name is the query after query_mark)
};

#pragma pack(push, 1)
struct shell_item {
    std::uint16_t cb;
    char signature[4];
    std::uint16_t kind;
    std::uint32_t file_id;
    std::uint32_t count;
    wchar_t name[1];
};
#pragma pack(pop)

static_assert(offsetof(shell_item, signature) == 2, "identifier layout");
static_assert(offsetof(shell_item, kind) == 6, "identifier layout");
static_assert(offsetof(shell_item, file_id) == 8, "identifier layout");
static_assert(offsetof(shell_item, count) == 12, "identifier layout");
static_assert(offsetof(shell_item, name) == 16, "identifier layout");

const std::size_t shell_item_header = 16;
const char shell_item_signature[4] = {'m', 'q', 'b', 'x'};

// The fields of one identifier, copied out of its bytes.
struct shell_item_fields {
    std::uint16_t cb = 0;
    std::uint16_t kind = 0;
    std::uint32_t file_id = 0;
    std::uint32_t count = 0;
    std::wstring name;
};

// Reads an identifier that came from outside: true only when `size` bytes hold at least the
// header, cb lies within them, the signature matches and the name ends with a NUL inside cb.
// Fields are copied, never read in place (identifiers may be unaligned).
bool parse_shell_item(const void* bytes, std::size_t size, shell_item_fields& out);

// True when the identifier carries the signature (cb at least 6 so the signature lies inside).
bool has_shell_item_signature(const void* bytes);

// The identifiers of one listing, packed one after another with every byte not set zero.
class shell_item_list {
public:
    void add(ItemKind kind, std::uint32_t file_id, std::uint32_t count, const wchar_t* name, std::size_t length);
    void add(ItemKind kind, std::uint32_t file_id, std::uint32_t count, const std::wstring& name) {
        add(kind, file_id, count, name.data(), name.size());
    }
    void clear();
    void reserve(std::size_t items, std::size_t bytes);

    std::size_t size() const { return offsets_.size(); }
    bool empty() const { return offsets_.empty(); }
    // The bytes of identifier i (cb bytes, the name's NUL included).
    const unsigned char* at(std::size_t i) const { return bytes_.data() + offsets_[i]; }
    std::uint16_t cb(std::size_t i) const;
    shell_item_fields fields(std::size_t i) const;

private:
    std::vector<unsigned char> bytes_;
    std::vector<std::uint32_t> offsets_;
};

}  // namespace items
