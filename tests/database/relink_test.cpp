// Tags follow files that programs moved without telling the shell, found again by their file
// system identity: after a restart, while a folder view shows them, and never onto another file.
#include "child_process.h"
#include "store_fixture.h"
#include "wine_drive.h"

#include "database/file_identity.h"
#include "util/file_system.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// Linux paths are UTF-8, and Wine hands a Linux program its command line in UTF-8.
std::wstring from_utf8(const std::string& text) {
    const int units = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    if (units > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], units);
    return wide;
}

// Runs a Linux program, as a program outside Wine would act on the files, and waits until
// `done` is true (a Linux process started from Wine cannot be waited for by its handle).
template <typename Done>
bool run_linux(const char* program, const std::vector<std::string>& args, Done done) {
    std::string command = program;
    for (const std::string& arg : args) command += " \"" + arg + "\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    const std::wstring image = from_utf8(std::string("Z:\\bin\\") + program);
    DWORD error = 0;
    if (!start_process(image.c_str(), from_utf8(command), FALSE, 0, nullptr, startup, process, error)) {
        ADD_FAILURE() << "cannot start " << program << ": " << error;
        return false;
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    for (int i = 0; i < 200 && !done(); ++i) ::Sleep(50);
    return done();
}

class RelinkTest : public StoreTest {
protected:
    std::wstring make(const std::wstring& relative) {
        const std::wstring path = files.path() + relative;
        util::unique_file made(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        EXPECT_TRUE(made.valid()) << "cannot make " << std::string(relative.begin(), relative.end());
        return path;
    }
    std::wstring folder(const std::wstring& relative) {
        const std::wstring path = files.path() + relative;
        EXPECT_TRUE(::CreateDirectoryW(path.c_str(), nullptr));
        return path + L"\\";
    }
    items::file_identity identity(const std::wstring& path) {
        items::volume_serials serials;
        return items::identify(path, serials);
    }
    std::vector<std::wstring> tagged() {
        std::vector<std::wstring> paths;
        for (const auto& file : db->tagged_paths()) paths.push_back(file.second);
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    TempFolder files;
};

class RecordingListener : public items::view_listener {
public:
    void views_changed(const std::vector<items::view_key>& views) override {
        changed.insert(changed.end(), views.begin(), views.end());
    }
    void view_path_lost(items::view_key) override {}
    bool view_gone(items::view_key) override { return false; }
    std::vector<items::view_key> changed;
};

std::vector<std::wstring> names_listed(items::TagsHolder& db, const std::vector<std::wstring>& path) {
    items::shell_item_list out;
    db.list_level(path, 7, out);
    std::vector<std::wstring> names;
    for (std::size_t i = 0; i < out.size(); ++i) names.push_back(out.fields(i).name);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST_F(RelinkTest, FilesMovedBehindTheShellsBackKeepTheirTagsAfterARestart) {
    const std::wstring docs = folder(L"docs"), other = folder(L"other");
    const std::wstring moved = make(L"docs\\moved.txt"), renamed = make(L"docs\\renamed.txt"),
                       sorted = make(L"docs\\sorted.txt"), by_linux = make(L"docs\\linux.txt"),
                       gone = make(L"docs\\gone.txt"), reused = make(L"docs\\reused.txt");
    give({moved, renamed, sorted, by_linux, gone, reused}, {L"Work/Invoices"});
    give({moved}, {L"Music/Rock"});
    // The identities of files just tagged are read and kept in the background.
    ASSERT_TRUE(db->wait_relinked(30000));
    ASSERT_TRUE(exists(data(L"~quibrix-Work.ids")));
    ASSERT_TRUE(exists(data(L"~quibrix-Music.ids")));

    // No shell notification is sent for any of these.
    ASSERT_TRUE(::MoveFileW(moved.c_str(), (other + L"moved.txt").c_str()));
    ASSERT_TRUE(::MoveFileW(renamed.c_str(), (docs + L"renamed (final).txt").c_str()));
    const std::wstring sub = folder(L"docs\\2026");
    ASSERT_TRUE(::MoveFileW(sorted.c_str(), (sub + L"sorted.txt").c_str()));
    const std::wstring linux_target = other + L"linux.txt";
    ASSERT_TRUE(run_linux("mv", {unix_path(by_linux), unix_path(other) + "linux.txt"},
                          [&] { return exists(linux_target) && !exists(by_linux); }))
        << "a Linux mv must run from Wine";
    ASSERT_TRUE(::DeleteFileW(gone.c_str()));
    // A new file that the file system gives the deleted file's index is another file all the
    // same. ext4 gives a new file the lowest free index of its group, so new files are made, and
    // kept, until one has it: those before fill the lower indexes freed meanwhile (gone.txt, the
    // maps the store replaced, other programs' files). tmpfs never gives an index twice.
    const items::file_identity old_identity = identity(reused);
    ASSERT_TRUE(old_identity.known);
    ASSERT_TRUE(::DeleteFileW(reused.c_str()));
    std::wstring successor;
    int made = 0;
    for (; made < 500 && successor.empty(); ++made) {
        const std::wstring candidate = make(L"docs\\new" + std::to_wstring(made) + L".txt");
        if (identity(candidate).index == old_identity.index) successor = candidate;
    }
    if (!successor.empty()) {
        EXPECT_NE(old_identity.created, identity(successor).created);
    }

    // Explorer starts again: the loader finds the moves in the background.
    db = open();
    db->start_loader();
    ASSERT_TRUE(db->wait_relinked(30000));
    EXPECT_EQ(std::vector<std::wstring>({L"Music/Rock", L"Work/Invoices"}), tags_of(other + L"moved.txt"))
        << "every root holding it follows";
    EXPECT_EQ(std::vector<std::wstring>({L"Work/Invoices"}), tags_of(docs + L"renamed (final).txt"));
    EXPECT_EQ(std::vector<std::wstring>({L"Work/Invoices"}), tags_of(sub + L"sorted.txt"));
    EXPECT_EQ(std::vector<std::wstring>({L"Work/Invoices"}), tags_of(linux_target));
    if (!successor.empty()) {
        EXPECT_TRUE(tags_of(successor).empty());
    }
    // The gone and the replaced file stay where they were, shown ghosted.
    std::vector<std::wstring> expected = {other + L"moved.txt", docs + L"renamed (final).txt", sub + L"sorted.txt",
                                          linux_target, gone, reused};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, tagged());

    // What the pass wrote is on disk: the next start has nothing left to follow.
    reload();
    const items::TagsHolder::relink_report again = db->relink_moved();
    EXPECT_TRUE(again.moved.empty());
    EXPECT_EQ(2u, again.missing);
    EXPECT_EQ(std::vector<std::wstring>({L"Work/Invoices"}), tags_of(linux_target));
    if (successor.empty()) {
        GTEST_SKIP() << "none of " << made << " new files took the deleted file's index on this file system "
                     << "(tmpfs numbers every file anew): the case of a reused index was not tried";
    }
}

TEST_F(RelinkTest, AFileMovedWhileItsFolderIsOpenShowsAtItsNewPlace) {
    folder(L"docs");
    const std::wstring report = make(L"docs\\report.txt");
    give({report}, {L"Work/Invoices"});
    ASSERT_TRUE(db->wait_relinked(30000));
    RecordingListener listener;
    db->set_view_listener(&listener);
    items::shell_item_list out;
    ASSERT_TRUE(db->list_level({L"Work", items::filtered_items_name}, 7, out));
    ASSERT_EQ(1u, out.size());
    const items::file_id_t shown = out.fields(0).file_id;

    ASSERT_TRUE(::MoveFileW(report.c_str(), (files.path() + L"docs\\report-2026.txt").c_str()));
    // What the folder does when it finds a listed file missing; it does not wait.
    db->relink_later(shown);
    ASSERT_TRUE(db->wait_relinked(30000));
    EXPECT_EQ(std::vector<items::view_key>({7}), listener.changed) << "the window reloads";
    EXPECT_EQ(std::vector<std::wstring>({L"report-2026.txt"}), names_listed(*db, {L"Work", items::filtered_items_name}));
    EXPECT_EQ(std::vector<std::wstring>({L"Work/Invoices"}), tags_of(files.path() + L"docs\\report-2026.txt"));
    db->set_view_listener(nullptr);
}

TEST_F(RelinkTest, AFileMovedToAnotherVolumeStaysGhosted) {
    // A second drive letter over a folder of the prefix beside drive C: one Linux file system.
    const std::string c_drive = unix_path(L"C:\\");
    ASSERT_FALSE(c_drive.empty());
    const std::string dosdevices = c_drive.substr(0, c_drive.rfind('/', c_drive.size() - 2));
    const std::string outside = dosdevices.substr(0, dosdevices.rfind('/') + 1) + "quibrix-volume-" +
                                std::to_string(::GetCurrentProcessId());
    std::wstring outside_path = from_utf8("Z:" + outside);  // drive Z is the Linux root
    std::replace(outside_path.begin(), outside_path.end(), L'/', L'\\');
    ASSERT_TRUE(::CreateDirectoryW(outside_path.c_str(), nullptr));
    const DWORD drives = ::GetLogicalDrives();
    wchar_t letter = L'Q';
    while (letter < L'Z' && (drives & (1u << (letter - L'A')))) ++letter;
    ASSERT_LT(letter, L'Z');
    {
        const wine_drive drive(letter, outside);
        ASSERT_TRUE(drive.defined());
        const std::wstring moved = drive.root() + L"report.txt";

        folder(L"docs");
        const std::wstring report = make(L"docs\\report.txt");
        give({report}, {L"Work/Invoices"});
        ASSERT_TRUE(db->wait_relinked(30000));
        const items::file_identity before = identity(report);
        ASSERT_TRUE(::MoveFileW(report.c_str(), moved.c_str()));
        const items::file_identity after = identity(moved);
        // Wine moves it by a rename on one Linux file system: the same index, another volume serial.
        EXPECT_TRUE(before.known && after.known);
        EXPECT_EQ(before.index, after.index);
        EXPECT_NE(before.volume, after.volume);

        const items::TagsHolder::relink_report found = db->relink_moved();
        EXPECT_TRUE(found.moved.empty());
        EXPECT_EQ(1u, found.missing);
        EXPECT_EQ(std::vector<std::wstring>({report}), tagged());
        ::DeleteFileW(moved.c_str());
    }
    ::RemoveDirectoryW(outside_path.c_str());
}

TEST_F(RelinkTest, AMissingOrDamagedIdentityFileIsRebuiltFromThePaths) {
    folder(L"docs");
    const std::wstring a = make(L"docs\\a.txt"), b = make(L"docs\\b.txt");
    give({a, b}, {L"Work/Invoices"});
    ASSERT_TRUE(db->wait_relinked(30000));
    const std::wstring ids = data(L"~quibrix-Work.ids");
    const std::vector<unsigned char> whole = read_bytes(ids);
    ASSERT_EQ(8u + 2 * 32, whole.size());

    ASSERT_TRUE(::DeleteFileW(ids.c_str()));
    db->relink_moved();
    EXPECT_EQ(whole.size(), read_bytes(ids).size()) << "rebuilt when missing";

    write_bytes(ids, std::vector<unsigned char>(whole.begin(), whole.begin() + 8 + 32 + 10));
    db->relink_moved();
    EXPECT_EQ(whole.size(), read_bytes(ids).size()) << "rebuilt when cut short";

    std::vector<unsigned char> scribbled = whole;
    scribbled[8 + 32 + 20] ^= 0xFF;  // the second record's index
    write_bytes(ids, scribbled);
    // A record that fails its check is not trusted, even to find a move.
    ASSERT_TRUE(::MoveFileW(b.c_str(), (files.path() + L"docs\\b-moved.txt").c_str()));
    const items::TagsHolder::relink_report damaged = db->relink_moved();
    EXPECT_TRUE(damaged.moved.empty());
    ASSERT_TRUE(::MoveFileW((files.path() + L"docs\\b-moved.txt").c_str(), b.c_str()));
    db->relink_moved();
    EXPECT_EQ(whole.size(), read_bytes(ids).size());

    // The rebuilt records serve: a later move is followed, and a store reader of an older
    // version loads the data folder with the identity file beside the maps.
    ASSERT_TRUE(::MoveFileW(a.c_str(), (files.path() + L"docs\\a-moved.txt").c_str()));
    reload();
    EXPECT_EQ(2u, tagged().size());
    const items::TagsHolder::relink_report found = db->relink_moved();
    ASSERT_EQ(1u, found.moved.size());
    EXPECT_EQ(a, found.moved[0].first);
    EXPECT_EQ(files.path() + L"docs\\a-moved.txt", found.moved[0].second);
}

// Threads that never wait, on one processor with the test: a thread of the test program is
// stopped anywhere, as on a busy machine.
class busy_processor {
public:
    busy_processor() {
        if (::GetProcessAffinityMask(::GetCurrentProcess(), &mask_, &system_mask_)) {
            ::SetProcessAffinityMask(::GetCurrentProcess(), mask_ & (~mask_ + 1));
        }
        for (int i = 0; i < 2; ++i) {
            spinners_.emplace_back([this] {
                while (busy_) {
                }
            });
        }
    }
    ~busy_processor() {
        busy_ = false;
        for (std::thread& spinner : spinners_) spinner.join();
        if (mask_) ::SetProcessAffinityMask(::GetCurrentProcess(), mask_);
    }

private:
    DWORD_PTR mask_ = 0, system_mask_ = 0;
    std::atomic<bool> busy_{true};
    std::vector<std::thread> spinners_;
};

TEST_F(RelinkTest, AHolderGoesAsSoonAsItsBackgroundWorkHasEnded) {
    folder(L"docs");
    give({make(L"docs\\a.txt")}, {L"Work/Invoices"});
    const busy_processor busy;
    // The holder's memory is given to a block of its size as soon as it is freed: whatever the
    // background thread still wrote into the holder shows there.
    const std::size_t size = sizeof(items::TagsHolder);
    int spoiled = 0;
    for (int cycle = 0; cycle < 40 && !spoiled; ++cycle) {
        std::unique_ptr<items::TagsHolder> holder(new items::TagsHolder);
        holder->set_data_folder(data(L""));
        holder->start_loader();
        ASSERT_TRUE(holder->wait_relinked(30000));
        const void* was = holder.get();
        holder.reset();
        std::unique_ptr<unsigned char[]> block(new unsigned char[size]);
        std::memset(block.get(), 0xA5, size);
        ::Sleep(20);
        const std::ptrdiff_t kept = std::count(block.get(), block.get() + size, 0xA5);
        if (block.get() == was && kept != static_cast<std::ptrdiff_t>(size)) ++spoiled;
    }
    EXPECT_EQ(0, spoiled) << "a background thread wrote into the holder after it had been destroyed";
}

TEST_F(RelinkTest, APassListsOnlyTheFoldersWrittenSinceTheLastOne) {
    const std::wstring docs = folder(L"docs"), music = folder(L"music");
    const std::wstring a = make(L"docs\\a.txt"), b = make(L"docs\\b.txt"), x = make(L"music\\x.mp3"),
                       y = make(L"music\\y.mp3"), z = make(L"music\\z.mp3");
    give({a, b}, {L"Work/Invoices"});
    give({x, y, z}, {L"Music/Rock"});
    ASSERT_TRUE(db->wait_relinked(30000));  // identities are recorded after the tagging returns
    // Written an hour ago: a folder written within the clock's last steps is always listed.
    const auto age = [](const std::wstring& path) {
        util::unique_file handle(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        FILETIME now;
        ::GetSystemTimeAsFileTime(&now);
        ULARGE_INTEGER then;
        then.LowPart = now.dwLowDateTime;
        then.HighPart = now.dwHighDateTime;
        then.QuadPart -= 3600ull * 10000000ull;
        const FILETIME written = {then.LowPart, then.HighPart};
        return handle.valid() && ::SetFileTime(handle.get(), nullptr, nullptr, &written);
    };
    ASSERT_TRUE(age(docs) && age(music));

    EXPECT_EQ(2u, db->relink_moved().folders_listed) << "nothing is known of them yet";
    // The next start-up trusts what the last pass saw of folders not written since.
    reload();
    items::TagsHolder::relink_report again = db->relink_moved();
    EXPECT_EQ(0u, again.folders_listed);
    EXPECT_EQ(0u, again.missing);

    const std::wstring renamed = docs + L"b (final).txt";
    ASSERT_TRUE(::MoveFileW(b.c_str(), renamed.c_str()));
    reload();
    again = db->relink_moved();
    EXPECT_EQ(1u, again.folders_listed) << "the renamed file's folder only";
    ASSERT_EQ(1u, again.moved.size());
    EXPECT_EQ(b, again.moved[0].first);
    EXPECT_EQ(renamed, again.moved[0].second);
    EXPECT_EQ(std::vector<std::wstring>({L"Work/Invoices"}), tags_of(renamed));

    // A folder whose tagged files changed is listed though its time did not: here a tag that a
    // file of an unwritten folder lost.
    ASSERT_TRUE(age(docs));
    EXPECT_EQ(1u, db->relink_moved().folders_listed);
    EXPECT_EQ(0u, db->relink_moved().folders_listed);
    db->remove_all_tags({z}, false);
    EXPECT_EQ(1u, db->relink_moved().folders_listed);
    EXPECT_EQ(0u, db->relink_moved().folders_listed);

    // Files sorted into a new folder of their own folder are found by one listing of it.
    const std::wstring sorted = folder(L"music\\sorted");
    ASSERT_TRUE(::MoveFileW(x.c_str(), (sorted + L"x.mp3").c_str()) && ::MoveFileW(y.c_str(), (sorted + L"y.mp3").c_str()));
    again = db->relink_moved();
    EXPECT_EQ(2u, again.folders_listed) << "the folder and the one it has now";
    EXPECT_EQ(2u, again.moved.size());
    EXPECT_EQ(0u, again.missing);
    EXPECT_EQ(std::vector<std::wstring>({L"Music/Rock"}), tags_of(sorted + L"y.mp3"));
}

TEST_F(RelinkTest, ADriveBackUnderAnotherLetterKeepsItsTags) {
    // Wine's mount manager takes a drive's serial from the .windows-serial file at its top: the
    // same folder under another letter is the same volume, as a disk plugged in again is.
    volume_folder disk("quibrix-disk"), other_disk("quibrix-other-disk");
    ASSERT_TRUE(disk.made() && other_disk.made());
    ASSERT_TRUE(disk.set_serial(0x5A17C0DEu) && other_disk.set_serial(0x0BADF00Du));
    const wchar_t before = free_drive_letter(L'Q'), lost = free_drive_letter(L'Q', before);
    ASSERT_TRUE(before && lost);
    std::wstring docs, a, b, top, gone;
    {
        wine_drive drive(before, disk.unix_path()), other(lost, other_disk.unix_path());
        ASSERT_TRUE(drive.defined() && other.defined());
        DWORD serial = 0;
        ASSERT_TRUE(::GetVolumeInformationW(drive.root().c_str(), nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
        EXPECT_EQ(0x5A17C0DEu, serial);
        docs = drive.root() + L"docs";
        ASSERT_TRUE(::CreateDirectoryW(docs.c_str(), nullptr));
        const auto make_at = [](const std::wstring& path) {
            util::unique_file made(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            EXPECT_TRUE(made.valid());
            return path;
        };
        a = make_at(docs + L"\\a.txt");
        b = make_at(docs + L"\\b.txt");
        top = make_at(drive.root() + L"top.txt");
        gone = make_at(other.root() + L"gone.txt");
        give({a, b, top}, {L"Work/Invoices"});
        give({top, gone}, {L"Music/Rock"});
        ASSERT_TRUE(db->wait_relinked(30000));  // identities are recorded after the tagging returns
        // Removed as it was tagged: it has to stay where it was.
        ASSERT_TRUE(::DeleteFileW(b.c_str()));
        ASSERT_TRUE(drive.remove() && other.remove());
    }
    const wchar_t after = free_drive_letter(static_cast<wchar_t>(lost + 1));
    ASSERT_TRUE(after);
    ASSERT_TRUE(wait_for_drive(before, false) && wait_for_drive(lost, false));
    const wine_drive drive(after, disk.unix_path());
    ASSERT_TRUE(drive.defined());
    ASSERT_TRUE(wait_for_drive(after, true));
    const auto moved = [&](std::wstring path) {
        path[0] = after;
        return path;
    };

    // Explorer starts: the loader's pass finds the volume under its new letter.
    db = open();
    db->start_loader();
    ASSERT_TRUE(db->wait_relinked(30000));
    EXPECT_EQ(std::vector<std::wstring>({L"Work/Invoices"}), tags_of(moved(a)));
    EXPECT_EQ(std::vector<std::wstring>({L"Music/Rock", L"Work/Invoices"}), tags_of(moved(top)))
        << "every root holding it follows";
    // The file deleted on the drive, and the disk that no letter holds, stay as they were.
    std::vector<std::wstring> expected = {moved(a), b, moved(top), gone};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, tagged());

    reload();
    const items::TagsHolder::relink_report again = db->relink_moved();
    EXPECT_TRUE(again.volume_moves.empty()) << "what the pass wrote is on disk";
    EXPECT_EQ(2u, again.missing);
}
