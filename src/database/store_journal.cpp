// Bulk replacements through a journal (store_io.h, replace_files).
//
// Replacing a file as one step on its own costs a temporary file, a flush and a rename; a
// removal or a rename over many files rewrites a thousand tag files, and under a journaling file
// system each flush waits for the disk. Instead the new contents of all of them go to the data
// folder's journal, which is flushed once; then each file is written in place, unflushed. A crash
// after that flush is mended by writing the journal's contents again (a write torn by the crash
// is overwritten whole); a crash before it leaves every file as it was.
//
// The files written in place are flushed later, a few at a time, by whoever comes first: the
// writing process in the background, or any write that would change such a file otherwise
// (a later write must never be undone by the journal's older contents). A file that could not
// be written in place (a scanner holding it) is owed: it is written then. Once they are all on
// disk, the journal is emptied. Another process, or the next start after a crash, that finds a
// journal it did not write applies it whole before it writes anything.
//
// Layout (little-endian): "QBXJRN01", u64 generation (a number the writing process drew), then
// transactions: u32 entry count, u32 body size, u64 block_checksum of the body, the body. An
// entry: u16 length L of the path below the data folder, 2 x L bytes of path, u32 size S, S
// bytes of content; a later entry for a path wins. Reading stops at the first transaction that
// is torn or does not check.
#include "database/store_io.h"

#include "util/byte_fields.h"
#include "util/hashes.h"
#include "util/unique_resource.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_set>

namespace items {
namespace store {

namespace {

const char journal_magic[8] = {'Q', 'B', 'X', 'J', 'R', 'N', '0', '1'};
const std::size_t header_size = 16;
const std::size_t transaction_head = 16;
// Fewer files than this are replaced one by one: the journal's own flush would cost as much.
const std::size_t journaled_from = 4;

struct journal_state {
    std::wstring data_folder;
    const void* owner = nullptr;   // the database that wrote the journal
    std::uint64_t generation = 0;  // of the journal on disk that this process wrote; 0: none
    std::unordered_set<std::wstring> journaled;  // full paths the journal holds content for
    std::unordered_set<std::wstring> unflushed;  // of those, written in place and not yet flushed
    std::map<std::wstring, std::vector<unsigned char> > owed;  // not written yet: path -> content
    bool pending() const { return generation || !journaled.empty(); }
};

util::critical_section g_journals_lock;
std::vector<journal_state>* g_journals = nullptr;  // never freed: used until the process ends
std::atomic<bool> g_any_unflushed(false);

journal_state& state_for(const std::wstring& data_folder) {
    if (!g_journals) g_journals = new std::vector<journal_state>;
    for (journal_state& state : *g_journals) {
        if (state.data_folder == data_folder) return state;
    }
    g_journals->push_back(journal_state());
    g_journals->back().data_folder = data_folder;
    return g_journals->back();
}

void note_unflushed_changed() {
    bool any = false;
    for (const journal_state& state : *g_journals) any = any || state.pending();
    g_any_unflushed = any;
}

std::uint64_t draw_generation() {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    const std::uint64_t drawn = (static_cast<std::uint64_t>(now.QuadPart) * 0x9E3779B97F4A7C15ull) ^
                                (static_cast<std::uint64_t>(::GetCurrentProcessId()) << 32) ^ ::GetTickCount64();
    return drawn ? drawn : 1;
}

void put_u16(std::vector<unsigned char>& out, std::uint16_t value) {
    out.resize(out.size() + 2);
    util::put<std::uint16_t>(out.data() + out.size() - 2, value);
}

void put_u32(std::vector<unsigned char>& out, std::uint32_t value) {
    out.resize(out.size() + 4);
    util::put<std::uint32_t>(out.data() + out.size() - 4, value);
}

void put_u64(std::vector<unsigned char>& out, std::uint64_t value) {
    out.resize(out.size() + 8);
    util::put<std::uint64_t>(out.data() + out.size() - 8, value);
}

void add_entry(std::vector<unsigned char>& body, std::wstring_view relative, const std::vector<unsigned char>& bytes) {
    put_u16(body, static_cast<std::uint16_t>(relative.size()));
    const std::size_t at = body.size();
    body.resize(at + relative.size() * 2);
    if (!relative.empty()) std::memcpy(body.data() + at, relative.data(), relative.size() * 2);
    put_u32(body, static_cast<std::uint32_t>(bytes.size()));
    body.insert(body.end(), bytes.begin(), bytes.end());
}

std::vector<unsigned char> transaction(const std::vector<unsigned char>& body, std::uint32_t entries) {
    std::vector<unsigned char> out;
    out.reserve(transaction_head + body.size());
    put_u32(out, entries);
    put_u32(out, static_cast<std::uint32_t>(body.size()));
    put_u64(out, util::block_checksum(body.data(), body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::wstring journal_path(const std::wstring& data_folder) {
    return data_folder + journal_file_name;
}

// What a journal asks for: each path's last content.
struct journal_contents {
    bool present = false;  // the file holds a header
    std::uint64_t generation = 0;
    std::map<std::wstring, std::vector<unsigned char> > files;  // relative path -> content
};

journal_contents read_journal(const std::wstring& data_folder) {
    journal_contents contents;
    std::vector<unsigned char> bytes;
    if (!read_file(journal_path(data_folder), bytes)) return contents;
    if (bytes.size() < header_size || std::memcmp(bytes.data(), journal_magic, 8) != 0) return contents;
    contents.present = true;
    contents.generation = util::take<std::uint64_t>(bytes.data() + 8);
    std::size_t at = header_size;
    while (bytes.size() - at >= transaction_head) {
        const std::uint32_t entries = util::take<std::uint32_t>(bytes.data() + at);
        const std::uint32_t body_size = util::take<std::uint32_t>(bytes.data() + at + 4);
        const std::uint64_t checksum = util::take<std::uint64_t>(bytes.data() + at + 8);
        const unsigned char* body = bytes.data() + at + transaction_head;
        if (bytes.size() - at - transaction_head < body_size || util::block_checksum(body, body_size) != checksum) {
            break;  // torn by a crash while it was written: its files were not touched yet
        }
        std::size_t in = 0;
        for (std::uint32_t k = 0; k < entries; ++k) {
            if (body_size - in < 2) break;
            const std::size_t length = util::take<std::uint16_t>(body + in);
            in += 2;
            if (body_size - in < length * 2 + 4) break;
            std::wstring relative(length, L'\0');
            if (length) std::memcpy(&relative[0], body + in, length * 2);
            in += length * 2;
            const std::size_t size = util::take<std::uint32_t>(body + in);
            in += 4;
            if (body_size - in < size) break;
            contents.files[relative].assign(body + in, body + in + size);
            in += size;
        }
        at += transaction_head + body_size;
    }
    return contents;
}

// The generation in the journal's header; 0 when there is no journal or it is empty.
std::uint64_t generation_on_disk(const std::wstring& data_folder) {
    util::unique_file file(::CreateFileW(journal_path(data_folder).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    unsigned char header[header_size];
    DWORD got = 0;
    if (!file || !::ReadFile(file.get(), header, header_size, &got, nullptr) || got != header_size ||
        std::memcmp(header, journal_magic, 8) != 0) {
        return 0;
    }
    return util::take<std::uint64_t>(header + 8);
}

// Opens a store file for writing in place (made when missing, as a replacement would).
util::unique_file open_in_place(const std::wstring& path) {
    return util::unique_file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, g_store_security, OPEN_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool write_in_place(HANDLE file, const std::vector<unsigned char>& bytes) {
    LARGE_INTEGER zero = {};
    return ::SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) && write_all(file, bytes) && ::SetEndOfFile(file);
}

// A journal deleted on its own may come back after a crash, and then undo the writes made
// since: it is emptied first.
bool empty_journal(const std::wstring& data_folder) {
    return empty_and_delete(journal_path(data_folder));
}

// Writes the owed files, then flushes up to `limit` of the state's files; true when none is
// left. Under g_journals_lock.
bool flush_some(journal_state& state, std::size_t limit) {
    for (auto it = state.owed.begin(); it != state.owed.end();) {
        if (!announce_write()) throw store_error(error_short_write, ::GetLastError());
        util::unique_file file(open_in_place(it->first));
        if (!file || !write_in_place(file.get(), it->second)) throw store_error(error_cannot_open, ::GetLastError());
        state.unflushed.insert(it->first);
        it = state.owed.erase(it);
    }
    std::size_t done = 0;
    for (auto it = state.unflushed.begin(); it != state.unflushed.end() && done < limit; ++done) {
        flush_file(*it);
        it = state.unflushed.erase(it);
    }
    return state.unflushed.empty();
}

// The journal on disk is still the one this state wrote; else another process applied it (and
// flushed every file it names), and what this one noted is done.
bool still_ours(journal_state& state) {
    if (!state.generation) return false;
    if (generation_on_disk(state.data_folder) == state.generation) return true;
    state.generation = 0;
    state.owner = nullptr;
    state.journaled.clear();
    state.unflushed.clear();
    state.owed.clear();
    return false;
}

void checkpoint_state(journal_state& state, std::size_t limit, bool& done) {
    done = false;
    if (!state.pending()) {
        done = true;
        return;
    }
    if (!still_ours(state)) {
        done = true;
        note_unflushed_changed();
        return;
    }
    const bool flushed = flush_some(state, limit);
    note_unflushed_changed();
    if (!flushed) return;
    if (!empty_journal(state.data_folder)) throw store_error(error_short_write, ::GetLastError());
    state.generation = 0;
    state.owner = nullptr;
    state.journaled.clear();
    note_unflushed_changed();
    done = true;
}

// Writes the journal's transaction for `files` (appending to this process's journal, or
// starting one); false when it could not be written and flushed, and then it holds none of it.
bool append_transaction(journal_state& state, const std::vector<unsigned char>& bytes) {
    if (!announce_write()) return false;
    util::unique_file file(::CreateFileW(journal_path(state.data_folder).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                         g_store_security, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    LARGE_INTEGER end = {};
    LARGE_INTEGER zero = {};
    std::vector<unsigned char> out;
    if (!state.generation) {
        // A journal left by another writer was applied when this section began: start anew.
        state.generation = draw_generation();
        out.assign(journal_magic, journal_magic + 8);
        put_u64(out, state.generation);
    } else if (!::SetFilePointerEx(file.get(), zero, &end, FILE_END)) {
        return false;
    }
    out.insert(out.end(), bytes.begin(), bytes.end());
    if (write_all(file.get(), out) && (out.size() == bytes.size() || ::SetEndOfFile(file.get())) &&
        ::FlushFileBuffers(file.get())) {
        return true;
    }
    // Cut back to what it held: a torn transaction would hide any later one.
    ::SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN);
    ::SetEndOfFile(file.get());
    if (end.QuadPart == 0) state.generation = 0;
    return false;
}

std::wstring_view below(const std::wstring& data_folder, const std::wstring& path) {
    return std::wstring_view(path).substr(std::min(path.size(), data_folder.size()));
}

}  // namespace

const wchar_t journal_file_name[] = L"~quibrix-journal";

void replace_files(std::vector<file_replacement>& files, const std::wstring& data_folder) {
    for (file_replacement& file : files) {
        file.code = 0;
        file.error = 0;
    }
    if (files.size() < journaled_from) {
        for (file_replacement& file : files) {
            try {
                replace_file(file.path, file.bytes, data_folder);
            } catch (const store_error& error) {
                file.code = error.code;
                file.error = error.system_error;
            }
        }
        return;
    }
    const util::lock_guard held(g_journals_lock);
    journal_state& state = state_for(data_folder);
    if (state.generation) still_ours(state);
    // Files owed by an earlier transaction are written first: the later content must win.
    for (const file_replacement& file : files) {
        if (state.owed.count(file.path)) {
            bool done = false;
            checkpoint_state(state, 0, done);
            break;
        }
    }
    std::vector<unsigned char> body;
    for (const file_replacement& file : files) add_entry(body, below(data_folder, file.path), file.bytes);
    if (!append_transaction(state, transaction(body, static_cast<std::uint32_t>(files.size())))) {
        // Nothing was written: each file keeps its old content.
        for (file_replacement& file : files) {
            file.code = error_short_write;
            file.error = ::GetLastError();
        }
        return;
    }
    if (!state.owner) state.owner = current_write_listener();
    for (file_replacement& file : files) {
        util::unique_file handle;
        if (announce_write() && (handle = open_in_place(file.path)) && write_in_place(handle.get(), file.bytes)) {
            state.unflushed.insert(file.path);
            state.journaled.insert(file.path);
        } else {
            // The journal holds it: it counts as written, and is written before anything else
            // touches it.
            state.owed[file.path] = file.bytes;
            state.journaled.insert(file.path);
        }
    }
    note_unflushed_changed();
}

bool checkpoint(const std::wstring& data_folder, std::size_t limit) {
    if (!g_any_unflushed && !g_journals) return true;
    const util::lock_guard held(g_journals_lock);
    if (!g_journals) return true;
    bool done = true;
    for (journal_state& state : *g_journals) {
        if (state.data_folder == data_folder) checkpoint_state(state, limit, done);
    }
    return done;
}

bool journal_unflushed(const std::wstring& data_folder) {
    if (!g_any_unflushed) return false;
    const util::lock_guard held(g_journals_lock);
    for (const journal_state& state : *g_journals) {
        if (state.data_folder == data_folder && state.pending()) return true;
    }
    return false;
}

void forget_journal(const std::wstring& data_folder, const void* owner) {
    const util::lock_guard held(g_journals_lock);
    if (!g_journals) return;
    for (journal_state& state : *g_journals) {
        if (state.data_folder != data_folder || state.owner != owner) continue;
        // What it left on disk is applied by the next database that opens the store.
        state = journal_state();
        state.data_folder = data_folder;
    }
    note_unflushed_changed();
}

void before_plain_write(const std::wstring& path, bool structural) {
    if (!g_any_unflushed) return;
    const util::lock_guard held(g_journals_lock);
    for (journal_state& state : *g_journals) {
        // A file flushed already is still in the journal until the journal is emptied.
        if (state.journaled.empty()) continue;
        if (!structural && !state.journaled.count(path)) continue;
        bool done = false;
        checkpoint_state(state, static_cast<std::size_t>(-1), done);
    }
}

bool apply_foreign_journal(const std::wstring& data_folder) {
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!::GetFileAttributesExW(journal_path(data_folder).c_str(), GetFileExInfoStandard, &attributes) ||
        (attributes.nFileSizeLow == 0 && attributes.nFileSizeHigh == 0)) {
        return false;
    }
    const util::lock_guard held(g_journals_lock);
    journal_state& state = state_for(data_folder);
    if (state.generation && still_ours(state)) return false;
    state = journal_state();
    state.data_folder = data_folder;
    const journal_contents contents = read_journal(data_folder);
    if (contents.present) {
        // Its writer may still be running: a new generation tells it that the files are no
        // longer as it wrote them (this pass may end half-way), so it applies the journal itself.
        util::unique_file file(::CreateFileW(journal_path(data_folder).c_str(), GENERIC_WRITE, 0, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        unsigned char generation[8];
        util::put<std::uint64_t>(generation, draw_generation());
        LARGE_INTEGER at;
        at.QuadPart = 8;
        DWORD written = 0;
        if (!file || !::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) ||
            !::WriteFile(file.get(), generation, 8, &written, nullptr) || written != 8) {
            throw store_error(error_cannot_open, ::GetLastError());
        }
    }
    for (const auto& entry : contents.files) {
        const std::wstring path = data_folder + entry.first;
        if (!announce_write()) throw store_error(error_short_write, ::GetLastError());
        util::unique_file file(open_in_place(path));
        if (!file || !write_in_place(file.get(), entry.second) || !::FlushFileBuffers(file.get())) {
            throw store_error(error_cannot_open, ::GetLastError());
        }
    }
    if (!empty_journal(data_folder)) throw store_error(error_short_write, ::GetLastError());
    return true;
}

}  // namespace store
}  // namespace items
