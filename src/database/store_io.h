// The store's file formats and the few file-system calls it makes. Nodes decide what to write;
// this file decides how the bytes look and how they reach the disk.
//
// Tag file: the tag's file ids, 4 bytes each, little-endian, no header.
// Map file (root name + ".dat"): records of id (u32), length L (u16, UTF-16 units), path (2*L
// bytes, no terminator). L = 0 is a void record; the last record of an id wins.
#pragma once

#include "util/hresult.h"
#include "util/unique_resource.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace items {

typedef std::uint32_t file_id_t;

// What a store failure was; the numbers are the codes callers have always compared.
enum store_error_code : int {
    error_folder_not_created = 1,  // a scope folder could not be created
    error_cannot_open = 2,         // a file could not be opened, created or replaced
    error_short_write = 3,         // fewer bytes were written than asked
    error_invalid_name = 4,        // a name that cannot be a file name, or a path too long to store
    error_store_busy = 5,          // another process held the store's lock longer than a change may wait
};

// The one exception the store throws. It keeps the system's error of the failed call, so the
// COM boundary can answer the real cause.
class store_error : public util::hresult_error {
public:
    // The system error is read at the throw, before anything else can change it.
    explicit store_error(int error_code, DWORD last_error = ::GetLastError());
    const int code;
    const DWORD system_error;  // GetLastError() when thrown; 0 when the system reported none
    HRESULT hresult() const override;
};

// True while every change goes to disk at once; a directory parse switches it off and saves
// the whole tree when it ends.
extern std::atomic<bool> g_immediate_write;

// Security for every folder and file the store creates; null (the default) until start-up
// builds it (from shared_security()).
extern SECURITY_ATTRIBUTES* g_store_security;

// The security that every process of the store gives what all users share (the store's lock,
// and from start-up on its folders and files): full access for authenticated users, inherited
// by sub-folders and files. Built once and kept for the life of the process; null when it
// cannot be built.
SECURITY_ATTRIBUTES* shared_security();

// The longest path a map record may hold: the reader treats a longer record as damage.
const std::size_t max_stored_path = 4095;

// Switches immediate writing off for its lifetime and restores the previous mode.
class deferred_writing {
public:
    deferred_writing() : previous_(g_immediate_write.exchange(false)) {}
    ~deferred_writing() { g_immediate_write = previous_; }
    deferred_writing(const deferred_writing&) = delete;
    deferred_writing& operator=(const deferred_writing&) = delete;

private:
    bool previous_;
};

namespace store {

// A store file's size and last-write time, as a directory listing gives them. A process keeps
// what it knows of a file (in memory, or in the snapshot) only while the file's stamp is the
// one it was read or written under.
struct file_stamp {
    std::uint64_t size = 0;
    std::uint64_t write_time = 0;  // FILETIME, 100 ns units
    bool known = false;            // false: no file, or what was read of it may differ from it now
    // The write time lay further back than the file system's clock steps when the stamp was
    // taken: a later write cannot give the file this stamp again. A file written just before
    // may be written once more within the same tick, with the same size, and look unchanged.
    bool settled = false;

    bool same_as(const file_stamp& now) const {
        return known && settled && now.known && size == now.size && write_time == now.write_time;
    }
};

// The current time in the file system's units.
std::uint64_t file_time_now();
// The stamp of a listed file; `taken_at` is when the listing was made.
file_stamp stamp_from(const WIN32_FIND_DATAW& data, std::uint64_t taken_at);
// The stamp of a file now (unknown when it is missing), e.g. right after writing it.
file_stamp stamp_of(const std::wstring& path);

// Told before a thread changes any file or folder of the store: the database whose lock the
// thread holds announces the change to the other processes before it happens.
class write_listener {
public:
    virtual void before_write() = 0;

protected:
    ~write_listener() {}
};
// Sets the calling thread's listener and returns the previous one.
write_listener* exchange_write_listener(write_listener* listener);

// Opens the file to be read from start to end (writers kept out) and gives its size; an invalid
// handle when it cannot be opened or is too large to read.
util::unique_file open_to_read(const std::wstring& path, std::size_t& size);
// Reads `size` bytes on from the file's position; false when it ends first or cannot be read.
bool read_exactly(HANDLE file, unsigned char* to, std::size_t size);

// Whole-file read (shared read access). False when the file cannot be opened or read.
bool read_file(const std::wstring& path, std::vector<unsigned char>& bytes);
// The same into UTF-16 units (an odd last byte is kept in a zero-padded unit); `size` gets the
// file's size in bytes.
bool read_file(const std::wstring& path, std::vector<wchar_t>& units, std::size_t& size);
// The same a piece at a time, so that a large file is never in memory whole: `consume(bytes,
// size, last, used)` gets what was read and not used yet, from a 2-byte aligned start, and sets
// `used` to the bytes it is done with (the rest comes again, ahead of the next piece); it
// returns false to stop. `last`: nothing follows. `longest`: the most that `consume` may leave
// unused. False when the file cannot be opened or read.
bool read_pieces(const std::wstring& path, std::size_t longest,
                 const std::function<bool(const unsigned char*, std::size_t, bool, std::size_t&)>& consume);

// Opens (OPEN_ALWAYS) and writes `bytes` at the end. A write that fails part-way is cut off
// again, so the next append does not land behind torn bytes. Throws error_cannot_open, or
// error_short_write when the write failed.
void append_file(const std::wstring& path, const std::vector<unsigned char>& bytes);

// Brings what was written to the file, appends included, to the disk. Throws error_short_write;
// a file that is gone has nothing to flush.
void flush_file(const std::wstring& path);
// Empties the file durably, then deletes it, for files whose content asks for work: a
// deletion lost in a crash leaves an empty file, which asks for nothing. True when done or
// the file is gone already.
bool empty_and_delete(const std::wstring& path);

enum class replacement {
    durable,  // flushed before it takes the old file's place, and announced: store data
    cache,    // neither: a file that is only a shortcut and is checked when read (the snapshot)
};
// Replaces the file's content as one step: the bytes go to a temporary file in `temp_folder`
// (the data folder, where no file is a tag), are flushed, and the temporary file then takes the
// target's place. A crash at any point leaves the old or the new content, never a mix.
void replace_file(const std::wstring& path, const std::vector<unsigned char>& bytes,
                  const std::wstring& temp_folder, replacement mode = replacement::durable);
// The same with content that `write` puts into the temporary file (write_all a piece at a
// time), so that a large file need not be in memory whole; false from it fails the replacement.
void replace_file(const std::wstring& path, const std::function<bool(HANDLE)>& write,
                  const std::wstring& temp_folder, replacement mode = replacement::durable);

// One file of replace_files: its path and new content; `code` (a store_error_code) and
// `error` (the system's error) tell why it kept its old content, 0 when it was replaced.
struct file_replacement {
    std::wstring path;
    std::vector<unsigned char> bytes;
    int code = 0;
    DWORD error = 0;
};
// Replaces many files of the store in `data_folder` as one step (store_journal.cpp): their new
// contents go to the data folder's journal, flushed once, and each file is then written in
// place, unflushed. A crash at any point leaves all old contents or, once the journal is
// applied, all new ones. Once the journal holds them every file counts as replaced (one that
// cannot be written now is written before anything else touches it); when the journal cannot be
// written, every file keeps its old content and says why. A few files are replaced one by one.
void replace_files(std::vector<file_replacement>& files, const std::wstring& data_folder);

// The journal's file in the data folder.
extern const wchar_t journal_file_name[];
// Under the store's lock: writes what the journal still owes and flushes up to `limit` of the
// files written in place; once every one is on disk, empties the journal. True when nothing is
// left to do. Throws store_error when a file cannot be written or flushed now.
bool checkpoint(const std::wstring& data_folder, std::size_t limit);
// True while this process has journaled files of `data_folder` not yet on disk for sure.
bool journal_unflushed(const std::wstring& data_folder);
// Under the store's lock, before a database reads or changes the store: a journal that no
// database of this process is working off (another process's, or one a crash left) is applied
// whole (each file written and flushed) and emptied; true when it was. Throws store_error when
// it cannot be.
bool apply_foreign_journal(const std::wstring& data_folder);
// A database that goes away: the journal it wrote is left to the next one that opens the store.
void forget_journal(const std::wstring& data_folder, const void* owner);
// Called before any other change of `path` (or, `structural`, of a folder and what it holds):
// the journal's files are brought to disk first, so that it can never write its older content
// over the change.
void before_plain_write(const std::wstring& path, bool structural);

// For the store's own writers: announces a change (false when a test stands for it failing),
// and writes all bytes at the file's position.
bool announce_write();
bool write_all(HANDLE file, const std::vector<unsigned char>& bytes);
write_listener* current_write_listener();

// Tests set this to stand for a crash between writing a replacement and putting it in place:
// when it answers true, replace_file stops there, leaving the temporary file behind.
extern bool (*g_replace_interrupted)();

// Tests stand for a disk that fills up with this: while `failing` is above 0, each write of
// file content stops after `bytes` bytes and fails, counting `failing` down.
struct write_fault_plan {
    int failing = 0;
    std::size_t bytes = 0;
};
extern write_fault_plan g_write_fault;

// Tests stand for a process killed, or a write refused, at one change of the store with this:
// the changes below (each append, durable replacement, folder made, file or folder removed, move)
// are counted as they are announced; the one numbered `fail_at` fails, and with `and_after` (a
// process killed there) every later one fails too. 0 fails none.
struct change_fault_plan {
    int fail_at = 0;
    bool and_after = false;
    int counted = 0;
};
extern change_fault_plan g_change_fault;

// Deletes the temporary files that an interrupted replace_file left in `folder`.
void remove_temporary_files(const std::wstring& folder);

// FindFirstFile without the short 8.3 names, which the store never uses and which cost a
// name computation for every entry of every folder at load.
HANDLE find_first(const std::wstring& pattern, WIN32_FIND_DATAW& data);

// The store's other changes on disk, each announced first. create_folder uses the store's
// folder security and is true also when the folder was there already. The removals of folders
// go through no link, neither at the folder nor at any folder between it and `data_folder`:
// another user may have put one there, pointing at files that are not the store's.
bool create_folder(const std::wstring& path);
// With the data folder, for a file below a root: checked as the folders are.
bool delete_file(const std::wstring& path, const std::wstring& data_folder = std::wstring());
bool remove_empty_folder(const std::wstring& path, const std::wstring& data_folder);
// True when the folder is gone.
bool remove_folder_tree(const std::wstring& path, const std::wstring& data_folder);
bool move_path(const std::wstring& from, const std::wstring& to);

// Encoders and decoders of the two formats.
void encode_ids(const std::vector<file_id_t>& ids, std::size_t from, std::vector<unsigned char>& out);
// Returns false when the size is not a multiple of 4 (the tail is ignored).
bool decode_ids(const std::vector<unsigned char>& bytes, std::vector<file_id_t>& ids);

void encode_map_record(file_id_t id, std::wstring_view path, std::vector<unsigned char>& out);

struct map_read_result {
    bool needs_rewrite = false;  // void records, a damaged record or a torn tail were seen
    bool damaged = false;        // a damaged record ended the reading
};
// The longest record of a map file, in bytes.
const std::size_t longest_map_record = 6 + max_stored_path * 2;
// Calls `add(id, byte offset of the path, length in units)` for every complete record, in
// file order, up to the first damaged one.
template <typename Add>
map_read_result decode_map(const unsigned char* bytes, std::size_t size, Add add);
// The same over one piece of a file that starts at a record: returns the bytes of its complete
// records. Unless `last`, a record cut off at the end is left for the next piece.
template <typename Add>
std::size_t decode_map_piece(const unsigned char* bytes, std::size_t size, bool last, map_read_result& result,
                             Add add);

}  // namespace store
}  // namespace items

#include "database/store_io_inl.h"
