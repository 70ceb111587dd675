#include "database/pending_moves.h"

#include "database/store_io.h"
#include "util/byte_fields.h"
#include "util/hashes.h"

#include <cstring>

namespace items {
namespace pending_moves {

namespace {

const char magic[8] = {'Q', 'B', 'X', 'M', 'O', 'V', 'E', '1'};
const std::size_t header_size = 16;

void put_path(std::vector<unsigned char>& out, const std::wstring& path) {
    const std::size_t at = out.size();
    out.resize(at + path.size() * 2);
    if (!path.empty()) std::memcpy(out.data() + at, path.data(), path.size() * 2);
}

}  // namespace

const wchar_t file_name[] = L"~quibrix-moves";

void write(const std::wstring& data_folder, const std::vector<kept_id_move>& moves) {
    // Sized first: a folder's rename writes thousands of moves.
    std::size_t size = header_size;
    for (const kept_id_move& move : moves) size += 8 + (move.old_path.size() + move.new_path.size()) * 2;
    std::vector<unsigned char> bytes(header_size);
    bytes.reserve(size);
    std::memcpy(bytes.data(), magic, sizeof magic);
    for (const kept_id_move& move : moves) {
        const std::size_t at = bytes.size();
        bytes.resize(at + 8);
        util::put<std::uint32_t>(bytes.data() + at, move.id);
        util::put<std::uint16_t>(bytes.data() + at + 4, static_cast<std::uint16_t>(move.old_path.size()));
        util::put<std::uint16_t>(bytes.data() + at + 6, static_cast<std::uint16_t>(move.new_path.size()));
        put_path(bytes, move.old_path);
        put_path(bytes, move.new_path);
    }
    util::put<std::uint64_t>(bytes.data() + 8, util::block_checksum(bytes.data() + header_size, bytes.size() - header_size));
    store::replace_file(data_folder + file_name, bytes, data_folder);
}

bool read(const std::wstring& data_folder, std::vector<kept_id_move>& moves) {
    moves.clear();
    std::vector<unsigned char> bytes;
    if (!store::read_file(data_folder + file_name, bytes) || bytes.size() < header_size ||
        std::memcmp(bytes.data(), magic, sizeof magic) != 0 ||
        util::take<std::uint64_t>(bytes.data() + 8) !=
            util::block_checksum(bytes.data() + header_size, bytes.size() - header_size)) {
        return false;
    }
    for (std::size_t at = header_size; at < bytes.size();) {
        if (bytes.size() - at < 8) return false;
        kept_id_move move;
        move.id = util::take<std::uint32_t>(bytes.data() + at);
        const std::size_t old_length = util::take<std::uint16_t>(bytes.data() + at + 4);
        const std::size_t new_length = util::take<std::uint16_t>(bytes.data() + at + 6);
        at += 8;
        if ((bytes.size() - at) / 2 < old_length + new_length) return false;
        move.old_path.resize(old_length);
        move.new_path.resize(new_length);
        if (old_length) std::memcpy(&move.old_path[0], bytes.data() + at, old_length * 2);
        at += old_length * 2;
        if (new_length) std::memcpy(&move.new_path[0], bytes.data() + at, new_length * 2);
        at += new_length * 2;
        moves.push_back(std::move(move));
    }
    return true;
}

void clear(const std::wstring& data_folder) {
    if (!store::announce_write() || !store::empty_and_delete(data_folder + file_name)) {
        throw store_error(error_short_write, ::GetLastError());
    }
}

}  // namespace pending_moves
}  // namespace items
