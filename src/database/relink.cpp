// Following files that programs moved without telling the shell, by their file system identity
// (file_identity.h, identity_file.h).
//
// A pass collects the tagged paths and their recorded identities under the database lock, looks
// at the file system with no lock held (a pass over a large store touches every tagged file),
// and applies what it found under the lock again, keeping only the moves whose entries memory
// still holds as they were collected. A move found is followed as a reported rename is, in every
// root that holds the file, and the views of those roots reload.
#include "database/store_section.h"

#include "database/file_identity.h"
#include "database/identity_file.h"
#include "database/relink_folders.h"
#include "database/volume_moves.h"

#include <algorithm>
#include <memory>

namespace items {

namespace {

struct candidate {
    std::wstring root;  // the name of the root that holds it
    file_id_t id = 0;
    std::wstring path;
    file_identity recorded;
    // What the look found:
    bool present = false;
    bool unknown = false;  // it could not be told whether the file is there
    file_identity now;     // the identity of the file at `path`, when that was read
    std::wstring moved_to;
    bool other_letter = false;  // moved_to: the same path under the letter its volume has now
};

struct identity_file_state {
    std::wstring root;
    bool damaged = false;
    std::size_t records = 0;  // records read, those of files gone or moved included
    std::size_t live = 0;
};

// A missing file that a listing asked for is looked for again only after this long: under Wine
// each look is a search through folders.
const DWORD retry_after_ms = 30000;

// A pass started at idle priority (the start-up loader) holds the lock at normal priority:
// starved while holding it, it would keep Explorer's window thread waiting.
class normal_priority {
public:
    normal_priority() : thread_(::GetCurrentThread()), previous_(::GetThreadPriority(thread_)) {
        if (previous_ < THREAD_PRIORITY_NORMAL) ::SetThreadPriority(thread_, THREAD_PRIORITY_NORMAL);
    }
    ~normal_priority() {
        if (previous_ < THREAD_PRIORITY_NORMAL) ::SetThreadPriority(thread_, previous_);
    }
    normal_priority(const normal_priority&) = delete;
    normal_priority& operator=(const normal_priority&) = delete;

private:
    HANDLE thread_;
    int previous_;
};

bool is_absent_error(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// What a full pass knows of the folders from the pass before and leaves for the next one.
struct folder_memory {
    folder_states previous;
    folder_states next;
};

// Which of the candidates are at their paths, what identity those have when it was cheap to
// read (from a listing of their folder), and for the others, where they went. `memory` (full
// passes only) lets a folder whose tagged files were all in place at the last pass and which
// has not been written since go unlisted. Returns how many folders were listed.
// Files sorted into a folder of their own folder: one listing of each subfolder answers for
// all of them, where looking each up by its index opens it (under Wine, after a search of the
// folder's whole tree). Only a few subfolders are listed; the rest is left to that search.
std::size_t look_below(const std::wstring& folder, const std::vector<std::wstring>& subfolders, std::uint32_t serial,
                       std::vector<std::size_t>& unplaced, std::vector<candidate>& candidates) {
    const std::size_t most = 8;
    if (subfolders.empty() || subfolders.size() > most) return 0;
    std::size_t listed = 0;
    folder_contents below;
    for (const std::wstring& sub : subfolders) {
        if (unplaced.empty()) break;
        const std::wstring path = folder + L'\\' + sub;
        if (below.read(path, serial) != folder_contents::listed) continue;
        ++listed;
        for (std::size_t k = unplaced.size(); k-- > 0;) {
            candidate& c = candidates[unplaced[k]];
            const std::wstring name = below.name_of(c.recorded);
            if (name.empty()) continue;
            c.moved_to = path + L'\\' + name;
            unplaced.erase(unplaced.begin() + static_cast<std::ptrdiff_t>(k));
        }
    }
    return listed;
}

std::size_t look(std::vector<candidate>& candidates, folder_memory* memory, const std::atomic<bool>& stopping) {
    volume_serials serials;
    folder_facts facts(serials);
    std::unordered_map<std::wstring, std::vector<std::size_t> > by_folder;
    for (std::size_t i = 0; i < candidates.size(); ++i) by_folder[folder_of(candidates[i].path)].push_back(i);
    folder_contents listing;
    std::size_t listed = 0;
    for (const auto& group : by_folder) {
        if (stopping) return listed;
        folder_contents::outcome read = folder_contents::unreadable;
        // One listing of a folder costs less than asking for several of its files one by one
        // (under Wine a name missing from a folder is looked for through the whole listing).
        if (group.second.size() > 1 && !group.first.empty()) {
            std::uint64_t write_time = 0;
            std::uint64_t digest = 0;
            std::uint32_t serial = 0;
            if (!facts.look_at(group.first)) {
                if (is_absent_error(::GetLastError())) read = folder_contents::gone;
            } else {
                bool rememberable = memory && facts.write_time(write_time);
                for (std::size_t i : group.second) {
                    const candidate& c = candidates[i];
                    rememberable = rememberable && c.recorded.known;
                    if (rememberable) digest = folder_states::add_to_digest(digest, name_of(c.path), c.recorded);
                }
                if (rememberable && memory->previous.unchanged(group.first, digest, write_time)) {
                    for (std::size_t i : group.second) candidates[i].present = true;
                    memory->next.set(group.first, digest, write_time);
                    continue;
                }
                if (facts.serial(serial)) {
                    read = listing.read(group.first, serial);
                    ++listed;
                }
                if (read == folder_contents::listed) {
                    bool all_there = true;
                    std::vector<std::size_t> unplaced;
                    for (std::size_t i : group.second) {
                        candidate& c = candidates[i];
                        c.now = listing.find(name_of(c.path));
                        c.present = c.now.known;
                        all_there = all_there && c.now.same_file(c.recorded);
                        // Renamed within its folder: the same listing shows it by its index.
                        if (!c.present && c.recorded.known) {
                            const std::wstring name = listing.name_of(c.recorded);
                            if (!name.empty()) c.moved_to = group.first + L'\\' + name;
                            if (name.empty()) unplaced.push_back(i);
                        }
                    }
                    if (!unplaced.empty()) listed += look_below(group.first, listing.subfolders(), serial, unplaced, candidates);
                    if (rememberable && all_there) memory->next.set(group.first, digest, write_time);
                    continue;
                }
            }
        }
        for (std::size_t i : group.second) {
            candidate& c = candidates[i];
            if (read == folder_contents::gone) {
                c.present = false;
            } else if (::GetFileAttributesW(c.path.c_str()) != INVALID_FILE_ATTRIBUTES) {
                c.present = true;
                if (!c.recorded.known) c.now = identify(c.path, serials);
            } else {
                c.unknown = !is_absent_error(::GetLastError());
            }
        }
    }
    // A file held by two roots is looked for once.
    std::unordered_map<std::wstring, std::wstring> found;
    for (candidate& c : candidates) {
        if (stopping) return listed;
        if (c.present || c.unknown || !c.recorded.known || !c.moved_to.empty()) continue;
        const auto known = found.find(c.path);
        if (known != found.end()) {
            c.moved_to = known->second;
        } else {
            c.moved_to = find_moved(c.path, c.recorded, serials);
            found.emplace(c.path, c.moved_to);
        }
        // Only the case of its name differs: it is where it was.
        if (!c.moved_to.empty() && upper_case(c.moved_to) == upper_case(c.path)) {
            c.moved_to.clear();
            c.present = true;
        }
    }
    return listed;
}

// The files whose drive letter no longer holds their volume, looked for under the letter it
// has now.
void look_on_other_letters(std::vector<candidate>& candidates) {
    std::vector<volume_lookup> lookups;
    std::vector<std::size_t> of;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const candidate& c = candidates[i];
        if (c.unknown || !c.moved_to.empty() || !c.recorded.known) continue;
        // In place, or a file of another volume that now has the letter (its listing tells).
        if (c.present && !(c.now.known && c.now.volume != c.recorded.volume)) continue;
        if (drive_root_of(c.path).empty()) continue;
        lookups.push_back(volume_lookup{c.path, c.recorded, std::wstring()});
        of.push_back(i);
    }
    if (lookups.empty()) return;
    find_on_other_letters(lookups);
    for (std::size_t i = 0; i < lookups.size(); ++i) {
        if (lookups[i].found.empty()) continue;
        candidate& c = candidates[of[i]];
        c.moved_to = lookups[i].found;
        c.other_letter = true;
        c.present = false;
    }
}

}  // namespace

TagsHolder::relink_report TagsHolder::relink_moved() {
    return relink(nullptr);
}

TagsHolder::relink_report TagsHolder::relink(const std::vector<file_id_t>* only) {
    relink_report report;
    std::vector<candidate> candidates;
    std::vector<identity_file_state> identity_files;
    std::wstring folder;
    {
        normal_priority priority;
        store_section section(*this, false);
        if (path.empty()) return report;
        folder = path;
        for (const node_ptr& node : children) {
            root_scope& root = static_cast<root_scope&>(*node);
            // A root not read whole cannot follow a move (follow_rename leaves it alone).
            if (!root.loaded || root.unread_count()) continue;
            identity_table table;
            identity_file_state state;
            state.root = root.name;
            table.read(root.identity_path());
            state.damaged = table.damaged();
            state.records = table.records();
            state.live = table.live_in(root.id_map);
            identity_files.push_back(state);
            const auto add = [&](file_id_t id, const stored_path& file_path) {
                candidate c;
                c.root = root.name;
                c.id = id;
                c.path = file_path.str();
                c.recorded = table.find(id, c.path);
                candidates.push_back(std::move(c));
            };
            if (only) {
                for (file_id_t id : *only) {
                    const stored_path file_path = root.id_map.find(id);
                    if (!file_path.empty()) add(id, file_path);
                }
            } else {
                root.id_map.for_each(add);
            }
        }
    }

    // Only a pass over every tagged file sees every folder: the others leave what is
    // remembered of them alone.
    std::unique_ptr<folder_memory> memory;
    if (!only) {
        memory.reset(new folder_memory);
        memory->previous.read(folder_states::path_in(folder));
    }
    report.folders_listed = look(candidates, memory.get(), stopping_);
    if (stopping_) return report;
    look_on_other_letters(candidates);
    if (memory && !(memory->next == memory->previous)) memory->next.write(folder_states::path_in(folder), folder);

    // What the identity files lack: the files in place whose identity was read.
    std::unordered_map<std::wstring, std::vector<const candidate*> > to_record;
    bool any_move = false;
    std::unordered_map<std::wstring, bool> counted;
    for (const candidate& c : candidates) {
        if (c.present && c.now.known && !c.now.same_file(c.recorded)) to_record[c.root].push_back(&c);
        if (!c.moved_to.empty()) any_move = true;
        if (!c.present && !c.unknown && c.moved_to.empty() && counted.emplace(c.path, true).second) ++report.missing;
    }
    bool any_rewrite = false;
    for (const identity_file_state& state : identity_files) {
        if (state.damaged || state.records > 2 * state.live + 64) any_rewrite = true;
    }
    if (!any_move && to_record.empty() && !any_rewrite) return report;

    normal_priority priority;
    store_section section(*this, false);
    if (path != folder) return report;  // another data folder since
    std::vector<std::wstring> touched;
    std::unique_ptr<store_error> failed;  // the first save that failed, told once the rest is done
    if (any_move) {
        // Many moves at once: every tag file and map is written once, at the end.
        std::vector<path_move> moves;
        std::unordered_map<std::wstring, bool> taken;
        for (const candidate& c : candidates) {
            if (c.moved_to.empty() || c.moved_to.size() > max_stored_path) continue;
            root_scope* root = root_named(c.root);
            // Memory changed meanwhile (a reported rename, an untag): that entry is not ours.
            // A root not read whole does not follow.
            if (!root || root->unread_count() || root->id_map.find(c.id) != c.path) continue;
            // A file that two roots hold moves once, in both.
            if (!taken.emplace(c.path, true).second) continue;
            moves.push_back(path_move{c.path, c.moved_to, &c.recorded});
            if (!c.other_letter) {
                report.moved.emplace_back(c.path, c.moved_to);
                continue;
            }
            const std::wstring from = drive_root_of(c.path), to = drive_root_of(c.moved_to);
            auto drive = std::find_if(report.volume_moves.begin(), report.volume_moves.end(),
                                      [&](const volume_move& move) { return move.from == from && move.to == to; });
            if (drive == report.volume_moves.end()) drive = report.volume_moves.insert(drive, volume_move{from, to, 0});
            ++drive->files;
        }
        {
            deferred_writing deferred;
            touched = follow_moves(moves);
        }
        for (const std::wstring& name : touched) {
            root_scope* root = root_named(name);
            if (!root) continue;
            try {
                root->save();
            } catch (const store_error& error) {
                // What was not written stays marked for the next save; the map keeps every id
                // that the tag files on disk still hold.
                if (!failed) failed.reset(new store_error(error));
            }
        }
    }
    for (const identity_file_state& state : identity_files) {
        root_scope* root = root_named(state.root);
        if (!root || !root->loaded || root->unread_count()) continue;
        const auto fresh = to_record.find(state.root);
        if (fresh == to_record.end() && !state.damaged && state.records <= 2 * state.live + 64) continue;
        // Read again: another process may have added records since.
        identity_table table;
        table.read(root->identity_path());
        if (fresh != to_record.end()) {
            for (const candidate* c : fresh->second) {
                if (root->id_map.find(c->id) == c->path) table.set(c->id, c->path, c->now);
            }
        }
        try {
            table.write(root->identity_path(), root->id_map, path);
        } catch (const store_error&) {
            // Only a help: the next pass tries again.
        }
    }
    for (const std::wstring& name : touched) refresh_views(name);
    if (failed) throw *failed;
    return report;
}

void TagsHolder::relink_later(file_id_t id) {
    if (id == 0) return;
    const util::lock_guard held(relink_lock_);
    if (stopping_) return;
    const DWORD now = ::GetTickCount();
    const auto tried = relink_tried_.find(id);
    if (tried != relink_tried_.end() && now - tried->second < retry_after_ms) return;
    if (relink_tried_.size() > 4096) {
        for (auto it = relink_tried_.begin(); it != relink_tried_.end();) {
            it = now - it->second >= retry_after_ms ? relink_tried_.erase(it) : std::next(it);
        }
    }
    relink_tried_[id] = now;
    relink_queue_.push_back(id);
    if (relink_running_) return;
    background_started();
    util::unique_handle thread(::CreateThread(nullptr, 0, relink_thread, this, 0, nullptr));
    if (!thread) {
        relink_queue_.clear();
        background_ended();
        return;
    }
    relink_running_ = true;
}

DWORD WINAPI TagsHolder::relink_thread(void* holder) {
    static_cast<TagsHolder*>(holder)->relink_queued();
    return 0;
}

void TagsHolder::relink_queued() {
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    // No Explorer thread waits for this one: it may wait for another process's write.
    const patient_thread patient;
    for (;;) {
        std::vector<file_id_t> ids;
        {
            const util::lock_guard held(relink_lock_);
            if (relink_queue_.empty() || stopping_) {
                relink_queue_.clear();
                relink_running_ = false;
                background_ended();
                return;
            }
            ids.swap(relink_queue_);
        }
        try {
            relink(&ids);
        } catch (...) {
            // The store could not be written now; a later listing asks again.
        }
    }
}

void TagsHolder::background_started() {
    const util::lock_guard held(relink_lock_);
    if (background_jobs_++ == 0) ::ResetEvent(background_idle_.get());
}

void TagsHolder::background_ended() {
    const util::lock_guard held(relink_lock_);
    if (--background_jobs_ == 0) ::SetEvent(background_idle_.get());
}

bool TagsHolder::wait_relinked(DWORD timeout_ms) {
    return ::WaitForSingleObject(background_idle_.get(), timeout_ms) == WAIT_OBJECT_0;
}

}  // namespace items
