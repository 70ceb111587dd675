// quibrix.exe as a script runs it: real processes, their exit codes and what they print to a
// pipe, against a store of the test's own.
#include "child_process.h"
#include "cli/query_reader.h"
#include "folder_link.h"
#include "database/store_lock.h"
#include "database/tag_query.h"
#include "database/tags_holder.h"
#include "store_security.h"
#include "temp_folder.h"
#include "wine_drive.h"
#include "util/unique_resource.h"

#include "quibrix_version.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <windows.h>
#include <aclapi.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <map>
#include <random>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct result {
    DWORD exit_code = 0xFFFFFFFF;
    std::wstring out, err;
};

std::wstring from_utf8(const std::string& bytes) {
    if (bytes.empty()) return std::wstring();
    const int units = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                                            nullptr, 0);
    EXPECT_GT(units, 0) << "output is not UTF-8";
    std::wstring text(static_cast<std::size_t>(units), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], units);
    return text;
}

std::string to_utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int bytes =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], bytes, nullptr, nullptr);
    return utf8;
}

std::string drain(HANDLE pipe) {
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got) bytes.append(buffer, got);
    return bytes;
}

std::wstring env(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::wstring(value, value + std::strlen(value)) : std::wstring();
}

std::wstring windows_path(const std::wstring& unix_or_windows) {
    // CMake hands Linux paths; Wine maps them through drive Z:.
    if (!unix_or_windows.empty() && unix_or_windows[0] == L'/') {
        std::wstring path = L"Z:" + unix_or_windows;
        for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
        return path;
    }
    return unix_or_windows;
}

// Linux paths for what only Linux can make here (a drive letter is a link in the prefix).
std::string unix_path(const std::wstring& path) {
    typedef char*(CDECL * to_unix_t)(const wchar_t*);
    const to_unix_t convert = reinterpret_cast<to_unix_t>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* converted = convert ? convert(path.c_str()) : nullptr;
    if (!converted) return std::string();
    const std::string result = converted;
    ::HeapFree(::GetProcessHeap(), 0, converted);
    return result;
}

// Runs a Linux program and waits until `done` (a Linux process cannot be waited for by handle).
template <typename Done>
bool run_linux(const char* program, const std::vector<std::string>& args, Done done) {
    std::string command = program;
    for (const std::string& arg : args) command += " \"" + arg + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    const std::string image = std::string("Z:\\bin\\") + program;
    if (!::CreateProcessA(image.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return false;
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    for (int i = 0; i < 200 && !done(); ++i) ::Sleep(50);
    return done();
}

std::wstring final_path(const std::wstring& path) {
    util::unique_file handle(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    wchar_t final[MAX_PATH] = L"";
    if (!handle || !::GetFinalPathNameByHandleW(handle.get(), final, MAX_PATH, VOLUME_NAME_DOS)) return std::wstring();
    return final;
}

// The object's DACL is one entry that gives authenticated users all access.
bool grants_authenticated_users(HANDLE object) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                          &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const util::unique_hlocal held(descriptor);
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof sid;
    ACCESS_ALLOWED_ACE* ace = nullptr;
    return dacl && dacl->AceCount == 1 && ::CreateWellKnownSid(WinAuthenticatedUserSid, nullptr, sid, &sid_size) &&
           ::GetAce(dacl, 0, reinterpret_cast<void**>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
           ::EqualSid(&ace->SidStart, sid) &&
           (ace->Mask == GENERIC_ALL || (ace->Mask & MUTEX_ALL_ACCESS) == MUTEX_ALL_ACCESS);
}

// A second drive letter onto `folder`, for as long as the object lives.
class mapped_drive {
public:
    explicit mapped_drive(const std::wstring& folder) {
        const std::string c_drive = unix_path(L"C:\\");
        const std::string dosdevices = c_drive.substr(0, c_drive.rfind('/', c_drive.size() - 2) + 1);
        const DWORD drives = ::GetLogicalDrives();
        wchar_t letter = L'Q';
        while (letter < L'Z' && (drives & (1u << (letter - L'A')))) ++letter;
        if (c_drive.empty() || letter >= L'Z') return;
        link_ = dosdevices + static_cast<char>(letter - L'A' + 'a') + ":";
        const std::wstring root = std::wstring(1, letter) + L":\\";
        // Wine reads its table of drives again at most once a second: the mapping is there for
        // this process too once the folder's final path goes through the new drive.
        if (run_linux("ln", {"-s", unix_path(folder), link_}, [&] { return final_path(folder).find(root) == 4; })) {
            root_ = root;
        }
    }
    ~mapped_drive() {
        if (!link_.empty()) run_linux("rm", {link_}, [&] { return ::GetFileAttributesW(root_.c_str()) == INVALID_FILE_ATTRIBUTES; });
    }
    const std::wstring& root() const { return root_; }  // "Q:\"; empty when it could not be made

private:
    std::string link_;
    std::wstring root_;
};

// A second process that runs the module's real start-up over a store, as Explorer does, and
// takes commands (see explorer_peer.cpp) through pipes.
class explorer_peer {
public:
    explicit explorer_peer(const std::wstring& app_data) {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE in_read = nullptr, in_write = nullptr, out_read = nullptr, out_write = nullptr;
        if (!::CreatePipe(&in_read, &in_write, &inherit, 0) || !::CreatePipe(&out_read, &out_write, &inherit, 0)) return;
        util::unique_handle child_in(in_read), child_out(out_write);
        input_.reset(in_write);
        output_.reset(out_read);
        ::SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
        wchar_t self[MAX_PATH];
        ::GetModuleFileNameW(nullptr, self, MAX_PATH);
        const std::wstring program = std::wstring(self).substr(0, std::wstring(self).rfind(L'\\') + 1) + L"explorer_peer.exe";
        const std::wstring command = L"\"" + program + L"\" \"" + app_data + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = child_in.get();
        startup.hStdOutput = child_out.get();
        startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION info = {};
        DWORD error = 0;
        if (!start_process(program.c_str(), command, TRUE, CREATE_NO_WINDOW, nullptr, startup, info, error)) {
            ADD_FAILURE() << "cannot start explorer_peer.exe: " << error;
            return;
        }
        process_ = child_process(info);
    }
    ~explorer_peer() {
        if (!process_.valid()) return;
        send(L"quit");
        input_.reset();
        if (!process_.wait(30000)) ADD_FAILURE() << "explorer_peer did not end";
    }
    bool started() { return process_.valid() && next_line(INFINITE) == L"ready"; }
    void send(const std::wstring& line) {
        const std::string bytes = to_utf8(line + L"\n");
        DWORD written = 0;
        ::WriteFile(input_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
    // The lines of the answer to the command sent last, without its "end".
    std::vector<std::wstring> reply() {
        std::vector<std::wstring> lines;
        if (!answered(INFINITE, lines)) ADD_FAILURE() << "explorer_peer: the command failed";
        return lines;
    }
    std::vector<std::wstring> command(const std::wstring& line) {
        send(line);
        return reply();
    }
    // The answer, when it comes within `timeout_ms`: true for "end", false for "failed". A peer
    // that does not answer in time is ended (it may never answer).
    bool answered(DWORD timeout_ms, std::vector<std::wstring>& lines) {
        const DWORD deadline = timeout_ms == INFINITE ? INFINITE : ::GetTickCount() + timeout_ms;
        for (std::wstring line = next_line(deadline); line != L"end"; line = next_line(deadline)) {
            if (line == L"failed") return false;
            if (line == L"(gone)" || line == L"(late)") {
                ADD_FAILURE() << "explorer_peer: " << std::string(line.begin(), line.end());
                process_.kill();
                return false;
            }
            lines.push_back(line);
        }
        return true;
    }

private:
    static std::string to_utf8(const std::wstring& text) {
        const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                                nullptr, nullptr);
        std::string out(static_cast<std::size_t>(bytes), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], bytes, nullptr, nullptr);
        return out;
    }
    // The next line; "(late)" when none came before the tick count `deadline` (INFINITE: none).
    std::wstring next_line(DWORD deadline) {
        for (;;) {
            const std::string::size_type end = pending_.find('\n');
            if (end != std::string::npos) {
                const std::wstring line = from_utf8(pending_.substr(0, end));
                pending_.erase(0, end + 1);
                return line;
            }
            DWORD available = 0;
            while (deadline != INFINITE && ::PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr) &&
                   available == 0) {
                if (static_cast<LONG>(::GetTickCount() - deadline) >= 0) return L"(late)";
                ::Sleep(20);
            }
            if (!arrived()) return L"(gone)";
            char buffer[4096];
            DWORD got = 0;
            if (!::ReadFile(output_.get(), buffer, sizeof buffer, &got, nullptr) || got == 0) return L"(gone)";
            pending_.append(buffer, got);
        }
    }
    // Waits, bounded, for the peer's next output. A peer that stops answering is ended rather
    // than waited for; its end of the pipe closes with it.
    bool arrived() {
        for (int waited = 0; waited < 60000; waited += 5) {
            DWORD available = 0;
            if (!::PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr)) return false;
            if (available > 0) return true;
            ::Sleep(5);
        }
        ADD_FAILURE() << "explorer_peer gave no answer for a minute";
        process_.kill();
        return false;
    }

    child_process process_;
    util::unique_handle input_, output_;
    std::string pending_;
};

class CliTest : public ::testing::Test {
protected:
    CliTest() : data_(store_.path() + L"store") {}

    // Runs quibrix.exe with `arguments` after "--data <the test's store>".
    result run(const std::wstring& arguments) {
        result r;
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE out_read = nullptr, out_write = nullptr, err_read = nullptr, err_write = nullptr;
        EXPECT_TRUE(::CreatePipe(&out_read, &out_write, &inherit, 0));
        EXPECT_TRUE(::CreatePipe(&err_read, &err_write, &inherit, 0));
        util::unique_handle out_r(out_read), out_w(out_write), err_r(err_read), err_w(err_write);
        ::SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = out_write;
        startup.hStdError = err_write;
        const std::wstring program = windows_path(env("QUIBRIX_CLI"));
        const std::wstring command = L"\"" + program + L"\" --data \"" + data_ + L"\" " + arguments;
        PROCESS_INFORMATION info = {};
        DWORD error = 0;
        if (!start_process(program.c_str(), command, TRUE, CREATE_NO_WINDOW, files_.path().c_str(), startup, info,
                           error)) {
            ADD_FAILURE() << "cannot start quibrix.exe: " << error;
            return r;
        }
        child_process process(info);
        out_w.reset();
        err_w.reset();
        // The pipes are read while the tool runs, so that it never waits on a full pipe; a tool
        // that does not end is ended, which closes the pipes and so ends the readers.
        std::string out_bytes, err_bytes;
        std::thread out_reader([&] { out_bytes = drain(out_r.get()); });
        std::thread err_reader([&] { err_bytes = drain(err_r.get()); });
        if (!process.wait(30000)) {
            ADD_FAILURE() << "quibrix.exe did not end within 30 s";
            process.kill();
        }
        out_reader.join();
        err_reader.join();
        r.exit_code = process.exit_code();
        r.out = from_utf8(out_bytes);
        r.err = from_utf8(err_bytes);
        return r;
    }
    std::wstring make(const std::wstring& relative) {
        const std::wstring path = files_.path() + relative;
        util::unique_file made(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        EXPECT_TRUE(made.valid()) << "cannot make " << std::string(relative.begin(), relative.end());
        return path;
    }
    // Every folder and file of the store with its bytes, by path; but the snapshot, a shortcut
    // for loads that any load may write again until the files' stamps have settled.
    struct store_entry {
        std::wstring path;  // a folder's without its trailing backslash
        bool folder;
    };
    // Every file and folder below the data folder.
    std::vector<store_entry> store_entries() {
        std::vector<store_entry> entries;
        std::vector<std::wstring> pending = {data_ + L"\\"};
        while (!pending.empty()) {
            const std::wstring folder = pending.back();
            pending.pop_back();
            WIN32_FIND_DATAW data;
            util::unique_find found(::FindFirstFileW((folder + L"*").c_str(), &data));
            if (!found) continue;
            do {
                const std::wstring name = data.cFileName;
                if (name == L"." || name == L"..") continue;
                const bool is_folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
                entries.push_back(store_entry{folder + name, is_folder});
                if (is_folder) pending.push_back(folder + name + L"\\");
            } while (::FindNextFileW(found.get(), &data));
        }
        return entries;
    }
    std::map<std::wstring, std::string> store_contents() {
        std::map<std::wstring, std::string> contents;
        for (const store_entry& entry : store_entries()) {
            const std::wstring& path = entry.path;
            if (entry.folder) {
                contents[path + L"\\"];
                continue;
            }
            if (path.size() >= 18 && path.compare(path.size() - 18, 18, L"\\~quibrix-snapshot") == 0) continue;
            util::unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_EXISTING, 0, nullptr));
            EXPECT_TRUE(file.valid()) << std::string(path.begin(), path.end());
            if (file.valid()) contents[path] = drain(file.get());
        }
        return contents;
    }
    static std::wstring lines(std::initializer_list<std::wstring> all) {
        std::wstring text;
        for (const std::wstring& line : all) text += line + L"\n";
        return text;
    }

    TempFolder store_;
    TempFolder files_;
    std::wstring data_;
};

TEST_F(CliTest, EveryCommandWithItsOutputAndExitCode) {
    const std::wstring report = make(L"report.pdf"), paid = make(L"paid.pdf"), song = make(L"song.mp3");
    // A name beyond any ANSI code page, with a character outside the BMP.
    const std::wstring unicode = make(L"\u00dcber \u65e5\u672c \U0001F3B5.txt");
    ASSERT_TRUE(::CreateDirectoryW((files_.path() + L"album").c_str(), nullptr));
    const std::wstring track = make(L"album\\track.mp3");

    EXPECT_EQ(0u, run(L"tag report.pdf paid.pdf \"" + unicode + L"\" --tag Work/Invoices").exit_code);
    EXPECT_EQ(0u, run(L"tag paid.pdf --tag Work/Paid --tag Work/2026").exit_code);
    EXPECT_EQ(0u, run(L"tag album -r --tag Music/Genre/Rock").exit_code);
    EXPECT_EQ(0u, run(L"tag song.mp3 --tag Music/Genre/Jazz").exit_code);

    result r = run(L"files \"Work/Invoices and not Work/Paid\"");
    EXPECT_EQ(0u, r.exit_code);
    EXPECT_EQ(lines({report, unicode}), r.out);
    EXPECT_EQ(L"", r.err);
    r = run(L"files \"Music/Genre or Work/2026\"");
    EXPECT_EQ(lines({track, paid, song}), r.out);  // sorted by path
    r = run(L"-0 files Music/Genre/Rock");
    EXPECT_EQ(track + std::wstring(1, L'\0'), r.out);
    r = run(L"files Work/Nothing");
    EXPECT_EQ(1u, r.exit_code);
    EXPECT_EQ(L"", r.out);

    r = run(L"tags paid.pdf");
    EXPECT_EQ(0u, r.exit_code);
    EXPECT_EQ(lines({L"Work/2026", L"Work/Invoices", L"Work/Paid"}), r.out);
    r = run(L"tags song.mp3 report.pdf");
    EXPECT_EQ(lines({song + L"\tMusic/Genre/Jazz", report + L"\tWork/Invoices"}), r.out);
    EXPECT_EQ(1u, run(L"tags album").exit_code) << "-r tagged the folder itself";

    EXPECT_EQ(0u, run(L"untag paid.pdf --tag Work/Paid").exit_code);
    EXPECT_EQ(1u, run(L"files Work/Paid").exit_code);
    EXPECT_EQ(0u, run(L"untag song.mp3 --all").exit_code);
    EXPECT_EQ(1u, run(L"tags song.mp3").exit_code);

    r = run(L"tree");
    EXPECT_EQ(0u, r.exit_code);
    EXPECT_EQ(lines({L"Music\t1", L"Music/Genre\t1", L"Music/Genre/Rock\t1", L"Work\t3", L"Work/2026\t1",
                     L"Work/Invoices\t3"}),
              r.out);

    ASSERT_TRUE(::DeleteFileW(report.c_str()));
    // Moved by a program that told no one: repair finds it by its identity and moves its tags.
    const std::wstring paid_moved = files_.path() + L"album\\paid (2026).pdf";
    ASSERT_TRUE(::MoveFileW(paid.c_str(), paid_moved.c_str()));
    r = run(L"repair");
    EXPECT_EQ(1u, r.exit_code);
    EXPECT_EQ(lines({report}), r.out) << "only what is still missing";
    EXPECT_EQ(paid + L" -> " + paid_moved + L"\n", r.err);
    EXPECT_EQ(lines({L"Work/2026", L"Work/Invoices"}), run(L"tags \"" + paid_moved + L"\"").out);
}

// A tagged disk that comes back under another letter: repair moves its paths, one line for the
// drive, with the files of that volume checked by their identity.
TEST_F(CliTest, RepairFollowsADriveToItsNewLetter) {
    volume_folder disk("quibrix-cli-disk");
    ASSERT_TRUE(disk.made() && disk.set_serial(0x7E57D15Cu));
    const wchar_t before = free_drive_letter(L'Q');
    ASSERT_TRUE(before);
    std::wstring a, b;
    {
        wine_drive drive(before, disk.unix_path());
        ASSERT_TRUE(drive.defined());
        ASSERT_TRUE(::CreateDirectoryW((drive.root() + L"sub").c_str(), nullptr));
        for (const std::wstring& path : {drive.root() + L"a.txt", drive.root() + L"sub\\b.txt"}) {
            util::unique_file made(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            ASSERT_TRUE(made.valid());
        }
        a = drive.root() + L"a.txt";
        b = drive.root() + L"sub\\b.txt";
        ASSERT_EQ(0u, run(L"tag " + a + L" " + b + L" --tag Work/Invoices").exit_code);
        ASSERT_TRUE(drive.remove());
    }
    ASSERT_TRUE(wait_for_drive(before, false));
    const wchar_t after = free_drive_letter(static_cast<wchar_t>(before + 1));
    ASSERT_TRUE(after);
    const wine_drive drive(after, disk.unix_path());
    ASSERT_TRUE(drive.defined() && wait_for_drive(after, true));

    const result r = run(L"repair");
    EXPECT_EQ(0u, r.exit_code);
    EXPECT_EQ(L"", r.out) << "nothing is missing";
    EXPECT_EQ(L"moved " + std::wstring(1, before) + L":\\ -> " + drive.root() + L" (2 files)\n", r.err);
    EXPECT_EQ(lines({L"Work/Invoices"}), run(L"tags " + drive.root() + L"sub\\b.txt").out);
    EXPECT_EQ(lines({drive.root() + L"a.txt", drive.root() + L"sub\\b.txt"}), run(L"files Work/Invoices").out);
}

TEST_F(CliTest, OneFileTypedInTwoSpellingsIsOneTaggedFile) {
    ASSERT_TRUE(::CreateDirectoryW((files_.path() + L"docs").c_str(), nullptr));
    const std::wstring paid = make(L"docs\\paid.pdf"), report = make(L"docs\\report.pdf");
    ASSERT_EQ(0u, run(L"tag \"" + paid + L"\" docs\\report.pdf --tag Work/Invoices").exit_code);
    std::wstring shouted = files_.path() + L"DOCS\\paid.pdf";
    shouted[0] = static_cast<wchar_t>(::towlower(shouted[0]));
    ASSERT_EQ(0u, run(L"tag \"" + shouted + L"\" --tag Work/Paid").exit_code);

    EXPECT_EQ(lines({report}), run(L"files \"Work/Invoices and not Work/Paid\"").out);
    EXPECT_EQ(lines({paid}), run(L"files Work/Paid").out) << "stored as the file system spells it";
    EXPECT_EQ(lines({L"Work\t2", L"Work/Invoices\t2", L"Work/Paid\t1"}), run(L"tree").out);
    EXPECT_EQ(lines({L"Work/Invoices", L"Work/Paid"}), run(L"tags docs\\Paid.PDF").out);

    // A third spelling takes the tags away; so does one of a file that is gone.
    EXPECT_EQ(0u, run(L"untag Docs\\PAID.pdf --all").exit_code);
    EXPECT_EQ(1u, run(L"tags \"" + paid + L"\"").exit_code);
    ASSERT_TRUE(::DeleteFileW(report.c_str()));
    EXPECT_EQ(0u, run(L"untag DOCS\\Report.PDF --tag Work/Invoices").exit_code);
    EXPECT_EQ(1u, run(L"tree").exit_code);
}

TEST_F(CliTest, MistakesAreRefusedOnStandardErrorWithExitCode2) {
    make(L"a.txt");
    ASSERT_EQ(0u, run(L"tag a.txt --tag Work/Invoices").exit_code);
    const result syntax = run(L"files \"Work/Invoices and (not Work/Paid\"");
    EXPECT_EQ(2u, syntax.exit_code);
    EXPECT_EQ(L"", syntax.out);
    EXPECT_NE(std::wstring::npos, syntax.err.find(L"'(' is never closed at position 19")) << syntax.err.c_str();
    EXPECT_NE(std::wstring::npos, syntax.err.find(L"\n                    ^\n")) << "the caret points at the fault";
    // As deep as a command line can be (32,767 characters): refused, not a stack overflow.
    const result deep = run(L"files " + std::wstring(16000, L'(') + L"Work" + std::wstring(16000, L')'));
    EXPECT_EQ(2u, deep.exit_code);
    EXPECT_NE(std::wstring::npos, deep.err.find(L"nested parentheses or 'not' at position 101")) << deep.err.substr(0, 200).c_str();

    for (const wchar_t* wrong : {L"", L"frobnicate", L"tag a.txt", L"tag --tag Work/Invoices",
                                 L"tag a.txt --tag Lonely", L"tag a.txt --tag Work/..", L"untag a.txt",
                                 L"untag a.txt --all --tag Work/Invoices", L"files", L"tag a.txt --bogus"}) {
        const result r = run(wrong);
        EXPECT_EQ(2u, r.exit_code) << std::string(wrong, wrong + std::wcslen(wrong));
        EXPECT_FALSE(r.err.empty());
        EXPECT_EQ(L"", r.out);
    }
    // Nothing of the refused calls reached the store.
    EXPECT_EQ(lines({L"Work\t1", L"Work/Invoices\t1"}), run(L"tree").out);
    const result version = run(L"--version");
    EXPECT_EQ(0u, version.exit_code);
    EXPECT_EQ(L"quibrix " + std::wstring(QUIBRIX_VERSION_WSTRING) + L"\n", version.out);
    for (const wchar_t* help : {L"--help", L"files --help", L"tag -h"}) {
        const result r = run(help);
        EXPECT_EQ(0u, r.exit_code);
        EXPECT_NE(std::wstring::npos, r.out.find(L"Usage: quibrix"));
    }
}

// A store that is a link may lead anywhere: the tool neither reads nor writes through it.
TEST_F(CliTest, AStoreThatIsALinkIsRefused) {
    TempFolder elsewhere;
    ASSERT_TRUE(::CreateDirectoryW((elsewhere.path() + L"Drafts").c_str(), nullptr));
    FolderLink link(data_, elsewhere.path());
    if (!link.made()) GTEST_SKIP() << "no links to folders can be made here";
    make(L"a.txt");
    for (const wchar_t* command : {L"tree", L"tag a.txt --tag Work/Invoices"}) {
        const result r = run(command);
        EXPECT_EQ(2u, r.exit_code);
        EXPECT_NE(std::wstring::npos, r.err.find(L"is a link")) << r.err.c_str();
    }
    // The empty folder the load would have pruned, and no store written there.
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, ::GetFileAttributesW((elsewhere.path() + L"Drafts").c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW((elsewhere.path() + L"Work").c_str()));
}

// A store that the tool makes first is open to every user of the machine, as one that
// Explorer makes: its folder and every folder and file in it.
TEST_F(CliTest, AStoreTheToolMakesIsOpenToEveryUser) {
    make(L"a.txt");
    ASSERT_EQ(0u, run(L"tag a.txt --tag Work/Invoices/2026").exit_code);
    ASSERT_EQ(store_security::other, read_store_security(files_.path() + L"a.txt")) << "the check tells them apart";
    EXPECT_EQ(store_security::shared, read_store_security(data_));
    std::vector<std::wstring> made;
    for (const store_entry& entry : store_entries()) made.push_back(entry.path);
    EXPECT_GE(made.size(), 3u);  // the root's folder and map, the tag's folder at least
    for (const std::wstring& path : made) {
        EXPECT_EQ(store_security::shared, read_store_security(path)) << std::string(path.begin(), path.end());
    }
}

// rename moves and renames what the tag dialog can: a tag in place, a scope into another root
// under a new name, a root. Files keep their tags under the new names.
TEST_F(CliTest, RenameMovesTagsAndScopesWithTheirFiles) {
    const std::wstring report = make(L"report.pdf"), paid = make(L"paid.pdf"), song = make(L"song.mp3");
    ASSERT_EQ(0u, run(L"tag report.pdf paid.pdf --tag Work/Invoices/2026").exit_code);
    ASSERT_EQ(0u, run(L"tag paid.pdf --tag Work/Paid").exit_code);
    ASSERT_EQ(0u, run(L"tag song.mp3 --tag Music/Rock").exit_code);

    for (const wchar_t* command : {L"rename Work/Paid Work/Settled", L"rename Work/Invoices Music/Bills",
                                   L"rename Music Media"}) {
        const result r = run(command);
        EXPECT_EQ(0u, r.exit_code) << r.err.c_str();
        EXPECT_EQ(L"", r.out + r.err);
    }
    EXPECT_EQ(lines({paid, report}), run(L"files Media/Bills/2026").out);
    EXPECT_EQ(lines({paid}), run(L"files Work/Settled").out);
    EXPECT_EQ(1u, run(L"files \"Work/Paid or Work/Invoices or Music\"").exit_code);
    EXPECT_EQ(lines({L"Media/Bills/2026", L"Work/Settled"}), run(L"tags paid.pdf").out);
    EXPECT_EQ(lines({L"Media/Rock"}), run(L"tags song.mp3").out);
    EXPECT_EQ(lines({L"Media\t3", L"Media/Bills\t2", L"Media/Bills/2026\t2", L"Media/Rock\t1", L"Work\t1",
                     L"Work/Settled\t1"}),
              run(L"tree").out);
}

// merge gives the files of one tag another tag, in its root or in another, and removes it.
TEST_F(CliTest, MergeGivesOneTagsFilesAnotherAndRemovesIt) {
    const std::wstring draft = make(L"draft.txt"), final_copy = make(L"final.txt"), both = make(L"both.txt"),
                       old = make(L"old.txt");
    ASSERT_EQ(0u, run(L"tag draft.txt both.txt --tag Work/Draft").exit_code);
    ASSERT_EQ(0u, run(L"tag final.txt both.txt --tag Work/Final").exit_code);
    ASSERT_EQ(0u, run(L"tag old.txt --tag Old/Docs").exit_code);

    result r = run(L"merge Work/Draft Work/Final");
    EXPECT_EQ(0u, r.exit_code) << r.err.c_str();
    EXPECT_EQ(L"", r.out + r.err);
    EXPECT_EQ(lines({both, draft, final_copy}), run(L"files Work/Final").out);
    EXPECT_EQ(lines({L"Work/Final"}), run(L"tags both.txt").out) << "once";
    EXPECT_EQ(1u, run(L"files Work/Draft").exit_code);

    r = run(L"merge Old/Docs Work/Final");
    EXPECT_EQ(0u, r.exit_code) << r.err.c_str();
    EXPECT_EQ(lines({L"Work/Final"}), run(L"tags old.txt").out);
    EXPECT_EQ(lines({L"Work\t4", L"Work/Final\t4"}), run(L"tree").out) << "the emptied root went with its tag";
}

// What the dialog refuses, the tool refuses: a message on standard error, exit status 1 for a
// node that is not there and 2 for the rest, and not one byte of the store changed.
TEST_F(CliTest, RefusedRenamesAndMergesLeaveTheStoreAsItWas) {
    make(L"a.txt");
    make(L"b.txt");
    ASSERT_EQ(0u, run(L"tag a.txt --tag Work/Invoices/Q1/Jan --tag Work/Paid").exit_code);
    ASSERT_EQ(0u, run(L"tag b.txt --tag Music/Rock").exit_code);
    const std::wstring tree = run(L"tree").out;
    const std::map<std::wstring, std::string> before = store_contents();

    const struct {
        const wchar_t* command;
        DWORD exit_code;
        const wchar_t* message;
    } refused[] = {
        {L"rename Work/Paid Work/Invoices", 2, L"this name is already used"},
        {L"rename Music/Rock work/INVOICES", 2, L"this name is already used"},
        {L"rename Work/Paid Work/CON", 2, L"'CON' cannot be a tag name"},
        {L"rename Work/Paid \"Work/a:b\"", 2, L"'a:b' cannot be a tag name"},
        {L"rename Work Work/Invoices/Work", 2, L"into itself or below itself"},
        {L"rename Music/Rock Work/Paid/Rock", 2, L"Work/Paid is a tag"},
        {L"rename Work/Paid Paid", 2, L"a tag cannot be a root tag"},
        {L"rename Work/Paid Nowhere/Paid", 2, L"there is no Nowhere"},
        {L"rename Work/Nothing Work/Else", 1, L"there is no Work/Nothing"},
        {L"rename Work/Paid", 2, L"rename takes OLD and NEW"},
        {L"merge Work/Nothing Work/Paid", 1, L"there is no Work/Nothing"},
        {L"merge Work/Paid Music/Nothing", 2, L"there is no Music/Nothing"},
        {L"merge Work/Invoices/Q1 Work/Paid", 2, L"only tags merge"},
        {L"merge Work/Paid work/paid", 2, L"into itself"},
    };
    for (const auto& refusal : refused) {
        const result r = run(refusal.command);
        const std::string command(refusal.command, refusal.command + std::wcslen(refusal.command));
        EXPECT_EQ(refusal.exit_code, r.exit_code) << command;
        EXPECT_EQ(0u, r.err.find(L"quibrix: ")) << command;
        EXPECT_NE(std::wstring::npos, r.err.find(refusal.message)) << command << ": " << r.err.c_str();
        EXPECT_EQ(L"", r.out) << command;
    }
    EXPECT_EQ(before, store_contents()) << "a refused edit changed the store";
    EXPECT_EQ(tree, run(L"tree").out);
}

// The examples of README's "Command line" section, run as they stand there: lines starting
// with "> quibrix" are commands, the lines under each are what it prints. C:\Docs stands for a
// folder of the test's own.
TEST_F(CliTest, ReadmeExamplesPrintWhatTheReadmeSays) {
    std::ifstream readme(std::string(std::getenv("QUIBRIX_README")));
    ASSERT_TRUE(readme.good());
    std::string line;
    bool in_section = false;
    std::vector<std::pair<std::wstring, std::wstring> > examples;  // command, expected output
    while (std::getline(readme, line)) {
        if (line.rfind("## ", 0) == 0) in_section = line == "## Command line";
        if (!in_section || line.rfind("    ", 0) != 0) continue;
        std::wstring text = from_utf8(line.substr(4));
        const std::wstring docs = files_.path() + L"Docs";
        // In JSON the folder is written with its backslashes doubled.
        const std::string quoted = nlohmann::json(to_utf8(docs)).dump();
        const std::wstring json_docs = from_utf8(quoted.substr(1, quoted.size() - 2));
        for (std::size_t at; (at = text.find(L"C:\\\\Docs")) != std::wstring::npos;) text.replace(at, 8, json_docs);
        for (std::size_t at; (at = text.find(L"C:\\Docs")) != std::wstring::npos;) text.replace(at, 7, docs);
        if (text.rfind(L"> quibrix ", 0) == 0) {
            examples.emplace_back(text.substr(10), std::wstring());
        } else if (!examples.empty()) {
            examples.back().second += text + L"\n";
        }
    }
    ASSERT_GE(examples.size(), 3u);
    ASSERT_TRUE(::CreateDirectoryW((files_.path() + L"Docs").c_str(), nullptr));
    make(L"Docs\\report.pdf");
    make(L"Docs\\paid.pdf");
    for (const auto& example : examples) {
        const result r = run(example.first);
        EXPECT_EQ(example.second, r.out + r.err) << std::string(example.first.begin(), example.first.end());
    }
}

// --- export and import

void write_bytes(const std::wstring& path, const std::string& bytes) {
    util::unique_file out(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(out.valid() && ::WriteFile(out.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

std::string read_bytes(const std::wstring& path) {
    util::unique_file in(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(in.valid()) << std::string(path.begin(), path.end());
    return in.valid() ? drain(in.get()) : std::string();
}

// Every file below `folder` and its bytes.
std::map<std::wstring, std::string> folder_bytes(const std::wstring& folder) {
    std::map<std::wstring, std::string> all;
    WIN32_FIND_DATAW data;
    util::unique_find found(::FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!found) return all;
    do {
        const std::wstring name = data.cFileName, path = folder + L"\\" + name;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            const std::map<std::wstring, std::string> below = folder_bytes(path);
            all.insert(below.begin(), below.end());
        } else {
            all[path] = read_bytes(path);
        }
    } while (::FindNextFileW(found.get(), &data));
    return all;
}

// The files that `after` holds with other bytes than `before`, or that only one of them holds.
std::string changed_files(const std::map<std::wstring, std::string>& before,
                          const std::map<std::wstring, std::string>& after) {
    std::string changed;
    for (const auto& file : before) {
        const auto now = after.find(file.first);
        if (now == after.end() || now->second != file.second) changed += to_utf8(file.first) + "\n";
    }
    for (const auto& file : after) {
        if (!before.count(file.first)) changed += to_utf8(file.first) + " (new)\n";
    }
    return changed;
}

// A path as a JSON string, quotes included.
std::string json_string(const std::wstring& text) { return nlohmann::json(to_utf8(text)).dump(); }

typedef std::vector<std::pair<std::wstring, std::vector<std::wstring> > > file_list;

// The files of an export, read back with the library.
file_list exported_files(const std::wstring& text) {
    const nlohmann::json document = nlohmann::json::parse(to_utf8(text));
    EXPECT_EQ("quibrix-tags", document.at("format").get<std::string>());
    EXPECT_EQ(1, document.at("version").get<int>());
    file_list files;
    for (const nlohmann::json& file : document.at("files")) {
        std::vector<std::wstring> tags;
        for (const nlohmann::json& tag : file.at("tags")) tags.push_back(from_utf8(tag.get<std::string>()));
        files.emplace_back(from_utf8(file.at("path").get<std::string>()), tags);
    }
    return files;
}

TEST_F(CliTest, AnExportImportedIntoAnEmptyStoreGivesEveryFileTheSameTags) {
    ASSERT_TRUE(::CreateDirectoryW((files_.path() + L"docs").c_str(), nullptr));
    const std::wstring report = make(L"docs\\report.pdf"), paid = make(L"docs\\paid.pdf");
    const std::wstring unicode = make(L"\u00dcber \u65e5\u672c \U0001F3B5.txt");
    const std::wstring gone = files_.path() + L"gone.txt";  // tagged, never made
    ASSERT_EQ(0u, run(L"tag docs\\report.pdf docs\\paid.pdf \"" + unicode + L"\" --tag Work/Invoices").exit_code);
    ASSERT_EQ(0u, run(L"tag docs\\paid.pdf --tag Work/Paid --tag Music/Rock/Live").exit_code);
    ASSERT_EQ(0u, run(L"tag gone.txt --tag Work/Old").exit_code);

    const result all = run(L"export");
    EXPECT_EQ(0u, all.exit_code);
    EXPECT_EQ(L"", all.err);
    const file_list every = {{paid, {L"Music/Rock/Live", L"Work/Invoices", L"Work/Paid"}},
                             {report, {L"Work/Invoices"}},
                             {gone, {L"Work/Old"}},
                             {unicode, {L"Work/Invoices"}}};
    EXPECT_EQ(every, exported_files(all.out)) << "in path order, every tag of every root";

    // With a query: the files that match, each still with all its tags.
    EXPECT_EQ(0u, run(L"export \"Work/Paid or Work/Old\" --output part.json").exit_code);
    EXPECT_EQ(file_list({every[0], every[2]}), exported_files(from_utf8(read_bytes(files_.path() + L"part.json"))));
    const result none = run(L"export Work/Nothing");
    EXPECT_EQ(1u, none.exit_code);
    EXPECT_EQ(file_list(), exported_files(none.out));

    EXPECT_EQ(0u, run(L"export --output all.json").exit_code);
    EXPECT_EQ(to_utf8(all.out), read_bytes(files_.path() + L"all.json"));
    const std::wstring first_store = data_;
    data_ = store_.path() + L"second";
    ASSERT_TRUE(::CreateDirectoryW(data_.c_str(), nullptr));
    const result imported = run(L"import all.json");
    EXPECT_EQ(0u, imported.exit_code) << imported.err.c_str();
    EXPECT_EQ(L"imported 4 files, 6 tags given, 1 path does not exist\n", imported.out);
    EXPECT_EQ(all.out, run(L"export").out);
    const std::wstring tree = run(L"tree").out;
    data_ = first_store;
    EXPECT_EQ(run(L"tree").out, tree);
}

TEST_F(CliTest, AnImportMapsPathsMergesTagsAndADryRunChangesNoByte) {
    ASSERT_TRUE(::CreateDirectoryW((files_.path() + L"Photos").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((files_.path() + L"Photos\\Trip").c_str(), nullptr));
    const std::wstring a = make(L"Photos\\Trip\\a.jpg"), b = make(L"Photos\\Trip\\b.jpg");
    ASSERT_EQ(0u, run(L"tag \"" + a + L"\" --tag Places/Rome").exit_code);
    // Written on another machine: another folder, other letter case. The second map matches as
    // well, but the first wins; D:\Older does not begin with D:\Old.
    const std::wstring folder = files_.path().substr(0, files_.path().size() - 1);
    write_bytes(files_.path() + L"moved.json",
                "{\"format\": \"quibrix-tags\", \"version\": 1, \"files\": [\n"
                "{\"path\": \"D:\\\\OLD\\\\photos\\\\TRIP\\\\A.JPG\", \"size\": 12, \"tags\": [\"Places/Paris\", "
                "\"Trips/2026/Spring\", \"places/rome\"]},\n"
                "{\"path\": \"d:\\\\old\\\\Photos\\\\trip\\\\b.jpg\", \"tags\": [\"Places/Rome\"]},\n"
                "{\"path\": \"D:\\\\Older\\\\c.jpg\", \"tags\": [\"Places/Rome\"]}\n]}\n");
    const std::wstring maps = L" --map \"d:\\old=" + folder + L"\" --map D:\\OLD\\photos=C:\\nowhere";
    const std::wstring summary = L"imported 3 files, 5 tags given, 1 path does not exist\n";

    const std::map<std::wstring, std::string> before = folder_bytes(data_);
    const result dry = run(L"import moved.json --dry-run" + maps);
    EXPECT_EQ(0u, dry.exit_code) << dry.err.c_str();
    EXPECT_EQ(summary + L"dry run: nothing was changed\n", dry.out);
    EXPECT_EQ("", changed_files(before, folder_bytes(data_))) << "a dry run changes no byte of the store";
    EXPECT_EQ(lines({L"Places/Rome"}), run(L"tags \"" + a + L"\"").out);

    const result done = run(L"import moved.json" + maps);
    EXPECT_EQ(0u, done.exit_code) << done.err.c_str();
    EXPECT_EQ(summary, done.out);
    EXPECT_EQ(lines({L"Places/Paris", L"Places/Rome", L"Trips/2026/Spring"}), run(L"tags \"" + a + L"\"").out);
    // Stored as the disk spells them; what does not exist as written.
    EXPECT_EQ(lines({a, b, L"D:\\Older\\c.jpg"}), run(L"files Places/Rome").out);
    EXPECT_EQ(lines({L"Places\t3", L"Places/Paris\t1", L"Places/Rome\t3", L"Trips\t1", L"Trips/2026\t1",
                     L"Trips/2026/Spring\t1"}),
              run(L"tree").out);
}

TEST_F(CliTest, FilesListedOneAfterAnotherInOneFolderAreEachStoredAsTheDiskSpellsThem) {
    ASSERT_TRUE(::CreateDirectoryW((files_.path() + L"Mixed").c_str(), nullptr));
    const std::wstring one = make(L"Mixed\\One.TXT"), two = make(L"Mixed\\two.txt");
    const std::wstring given = files_.path() + L"mixed\\";
    std::string document = "{\"format\": \"quibrix-tags\", \"version\": 1, \"files\": [\n";
    const char* separator = "";
    for (const wchar_t* name : {L"one.txt", L"TWO.TXT", L"Gone\\x.txt", L"absent.txt"}) {
        document += separator + ("{\"path\": " + json_string(given + name)) + ", \"tags\": [\"Work/Listed\"]}";
        separator = ",\n";
    }
    write_bytes(files_.path() + L"listed.json", document + "\n]}\n");
    const result done = run(L"import listed.json");
    EXPECT_EQ(0u, done.exit_code) << done.err.c_str();
    EXPECT_EQ(L"imported 4 files, 4 tags given, 2 paths do not exist\n", done.out);
    // What does not exist keeps its given name below the folder as the disk spells it.
    const std::wstring folder = files_.path() + L"Mixed\\";
    std::set<std::wstring> stored;
    for (const auto& file : exported_files(run(L"export").out)) stored.insert(file.first);
    EXPECT_EQ(std::set<std::wstring>({one, two, folder + L"Gone\\x.txt", folder + L"absent.txt"}), stored);
}

TEST_F(CliTest, AnImportedTagThatAnotherOfTheFileLiesBelowIsAScopeAsBefore) {
    const std::wstring x = files_.path() + L"x.txt", y = files_.path() + L"y.txt";
    write_bytes(files_.path() + L"nested.json",
                "{\"format\": \"quibrix-tags\", \"version\": 1, \"files\": [\n{\"path\": " + json_string(x) +
                    ", \"tags\": [\"Work/Box\", \"Work/Box/Inner\", \"Work/Other\"]},\n{\"path\": " + json_string(y) +
                    ", \"tags\": [\"Work/Box/Inner\"]}\n]}\n");
    const result done = run(L"import nested.json");
    EXPECT_EQ(0u, done.exit_code) << done.err.c_str();
    const file_list stored = {{x, {L"Work/Box/Inner", L"Work/Other"}}, {y, {L"Work/Box/Inner"}}};
    EXPECT_EQ(stored, exported_files(run(L"export").out)) << "Work/Box holds Inner, as one tree of the file makes it";
}

TEST_F(CliTest, ABrokenImportIsRefusedWholeNamingItsLine) {
    const std::wstring a = make(L"a.txt");
    ASSERT_EQ(0u, run(L"tag a.txt --tag Work/Invoices").exit_code);
    // Each starts with an entry that could be applied: a refusal must leave it out too.
    const std::string head = "{\"format\": \"quibrix-tags\", \"version\": 1, \"files\": [\n{\"path\": " +
                             json_string(a) + ", \"tags\": [\"Work/Paid\"]},\n";
    const struct {
        const char* what;
        std::string text;
        const wchar_t* place;
    } broken[] = {
        {"malformed", head + "{\"path\": \"C:\\\\b\" \"tags\": []}\n]}", L"line 3, column 18: syntax error"},
        {"truncated", head + "{\"path\": \"C:\\\\b\", \"tags\": [\"Work/Pa", L"line 3, column 28: syntax error"},
        {"not JSON", "tags:\n  Work/Paid\n", L"line 1, column 1: syntax error"},
        {"another format", "{\"format\": \"quibrix-tags\",\n\"format\": \"tags\", \"version\": 1, \"files\": []}",
         L"line 2, column 1: \"format\" is given twice"},
        {"another format", "{\"version\": 1,\n\"format\": \"other-tags\", \"files\": []}",
         L"line 2, column 11: this is not a quibrix-tags document"},
        {"another version", "{\"format\": \"quibrix-tags\", \"files\": [],\n\n\"version\": 2}",
         L"line 3, column 12: this version of the quibrix-tags format is not supported"},
        {"no version", "{\"format\": \"quibrix-tags\", \"files\": []}", L"line 1, column 39: the document has no \"version\""},
        {"a list", "[" + head.substr(head.find("{\"path")) + "{}]", L"line 1, column 1: this is not a quibrix-tags document"},
        {"an unsafe tag", head + "{\"path\": \"C:\\\\b\", \"tags\": [\"Work/../Paid\"]}\n]}",
         L"line 3, column 28: '..' cannot be a tag name"},
        {"a tag without a root", head + "{\"path\": \"C:\\\\b\", \"tags\": [\"Paid\"]}\n]}",
         L"line 3, column 28: the tag \"Paid\" needs a root and a name"},
        {"a relative path", head + "{\"path\": \"b.txt\", \"tags\": [\"Work/Paid\"]}\n]}",
         L"line 3, column 10: \"b.txt\" is not a full path"},
        {"tags not a list", head + "{\"path\": \"C:\\\\b\", \"tags\": \"Work/Paid\"}\n]}",
         L"line 3, column 27: \"tags\" is not a list"},
    };
    const std::map<std::wstring, std::string> before = folder_bytes(data_);
    for (const auto& file : broken) {
        write_bytes(files_.path() + L"broken.json", file.text);
        const result r = run(L"import broken.json");
        EXPECT_EQ(2u, r.exit_code) << file.what;
        EXPECT_EQ(L"", r.out) << file.what;
        EXPECT_EQ(0u, r.err.find(L"quibrix: broken.json: " + std::wstring(file.place))) << file.what << ": " << r.err.c_str();
    }
    EXPECT_EQ("", changed_files(before, folder_bytes(data_))) << "nothing of a refused import reached the store";
    for (const wchar_t* wrong : {L"import", L"import a.json b.json", L"import broken.json --map nothing",
                                 L"import broken.json --output x.json", L"export --dry-run", L"export a b",
                                 L"import missing.json"}) {
        const result r = run(wrong);
        EXPECT_EQ(2u, r.exit_code) << std::string(wrong, wrong + std::wcslen(wrong));
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_EQ(lines({L"Work/Invoices"}), run(L"tags a.txt").out);
}

// The tool while Explorer holds the store: a second process runs the module's start-up over
// the store and writes to it, and each side sees what the other wrote, also when both write at
// the same time.
TEST_F(CliTest, ToolAndExplorerShareTheStoreWhileBothWrite) {
    const std::wstring app_data = store_.path() + L"app";
    ASSERT_TRUE(::CreateDirectoryW(app_data.c_str(), nullptr));
    data_ = app_data + L"\\Quibrix";  // where Explorer's start-up keeps the store
    explorer_peer explorer(app_data);
    ASSERT_TRUE(explorer.started());
    // Start-up made the data folder and the settings file open to every user of the machine.
    EXPECT_EQ(store_security::shared, read_store_security(data_));
    EXPECT_EQ(store_security::shared, read_store_security(data_ + L"\\settings.xml"));
    const auto sorted = [](std::vector<std::wstring> paths) {
        std::sort(paths.begin(), paths.end());
        return paths;
    };
    const auto as_lines = [](const std::vector<std::wstring>& paths) {
        std::wstring text;
        for (const std::wstring& path : paths) text += path + L"\n";
        return text;
    };
    const std::wstring mine = files_.path() + L"cli.txt", theirs = files_.path() + L"explorer.txt",
                       song = files_.path() + L"song.mp3";

    EXPECT_EQ(0u, run(L"tag cli.txt --tag Work/Invoices").exit_code);
    EXPECT_TRUE(explorer.command(L"tag\tWork/Invoices\t" + theirs).empty());
    EXPECT_TRUE(explorer.command(L"tag\tMusic/Rock\t" + song).empty());
    EXPECT_EQ(lines({mine, theirs}), run(L"files Work/Invoices").out);
    EXPECT_EQ(lines({L"Music/Rock"}), run(L"tags song.mp3").out);
    EXPECT_EQ(lines({L"Music\t1", L"Music/Rock\t1", L"Work\t2", L"Work/Invoices\t2"}), run(L"tree").out);
    EXPECT_EQ((std::vector<std::wstring>{mine, theirs}), sorted(explorer.command(L"list\tWork/Invoices")));

    // Both at once: Explorer tags its files one write at a time while the tool runs again and
    // again, in the same tag.
    std::vector<std::wstring> expected = {mine, theirs};
    std::wstring command = L"tag-each\tWork/Invoices";
    for (int i = 0; i < 24; ++i) {
        const std::wstring path = files_.path() + L"explorer" + std::to_wstring(i) + L".txt";
        command += L"\t" + path;
        expected.push_back(path);
    }
    explorer.send(command);
    for (int run_number = 0; run_number < 6; ++run_number) {
        std::wstring names;
        for (int i = 0; i < 3; ++i) {
            const std::wstring name = L"cli" + std::to_wstring(run_number) + L"-" + std::to_wstring(i) + L".txt";
            names += name + L" ";
            expected.push_back(files_.path() + name);
        }
        EXPECT_EQ(0u, run(L"tag " + names + L"--tag Work/Invoices").exit_code);
    }
    EXPECT_TRUE(explorer.reply().empty());
    expected = sorted(expected);
    EXPECT_EQ(as_lines(expected), run(L"files Work/Invoices").out);
    EXPECT_EQ(expected, sorted(explorer.command(L"list\tWork/Invoices")));

    // What the tool takes away is gone for Explorer too.
    EXPECT_EQ(0u, run(L"untag cli.txt explorer.txt --all").exit_code);
    expected.erase(std::find(expected.begin(), expected.end(), mine));
    expected.erase(std::find(expected.begin(), expected.end(), theirs));
    EXPECT_EQ(expected, sorted(explorer.command(L"list\tWork/Invoices")));
    EXPECT_EQ(lines({L"Music\t1", L"Music/Rock\t1", L"Work\t" + std::to_wstring(expected.size()),
                     L"Work/Invoices\t" + std::to_wstring(expected.size())}),
              run(L"tree").out);
}

// Explorer while another process holds the store's lock (hung, or stopped in a debugger): a
// listing answers from what Explorer has loaded and a change fails as a write error does, each
// within seconds, and nothing is lost; once the lock is let go, both work again. Every spelling
// of the data folder names the one lock: another case, another drive letter mapped onto it.
TEST_F(CliTest, ExplorerAnswersInTimeWhileAnotherProcessHoldsTheStore) {
    const std::wstring app_data = store_.path() + L"app";
    ASSERT_TRUE(::CreateDirectoryW(app_data.c_str(), nullptr));
    data_ = app_data + L"\\Quibrix";
    // Mapped before any process names the lock, as a user's mappings are there before Explorer
    // starts. (Wine names a folder by the drive mapped deepest onto it, so a mapping made later
    // would change the final path of a folder already named; Windows keeps the volume's own.)
    const mapped_drive drive(app_data);
    ASSERT_FALSE(drive.root().empty()) << "a drive letter must be mapped through the prefix";
    explorer_peer explorer(app_data);
    ASSERT_TRUE(explorer.started());
    const std::wstring a = files_.path() + L"a.txt", b = files_.path() + L"b.txt", c = files_.path() + L"c.txt",
                       d = files_.path() + L"d.txt";
    const auto listed = [&](DWORD bound) {
        std::vector<std::wstring> lines;
        const DWORD started = ::GetTickCount();
        explorer.send(L"list\tWork/Invoices");
        EXPECT_TRUE(explorer.answered(bound + 5000, lines));
        EXPECT_LT(::GetTickCount() - started, bound + 2500) << "a listing waits no longer than its bound";
        std::sort(lines.begin(), lines.end());
        return lines;
    };
    const auto tag = [&](const std::wstring& path) {
        std::vector<std::wstring> lines;
        const DWORD started = ::GetTickCount();
        explorer.send(L"tag\tWork/Invoices\t" + path);
        const bool done = explorer.answered(items::write_wait_ms + 5000, lines);
        EXPECT_LT(::GetTickCount() - started, items::write_wait_ms + 2500) << "a change waits no longer than its bound";
        return done;
    };
    ASSERT_TRUE(tag(a));
    // The tool writes, then another process holds the lock.
    EXPECT_EQ(0u, run(L"tag b.txt --tag Work/Invoices").exit_code);
    items::store_lock other;
    other.set_folder(data_ + L"\\");
    ASSERT_EQ(items::store_lock::taken, other.acquire(0));
    EXPECT_EQ(std::vector<std::wstring>({a}), listed(items::listing_wait_ms)) << "what Explorer had loaded";
    EXPECT_FALSE(tag(c)) << "reported as a write error";
    EXPECT_EQ(std::vector<std::wstring>({a}), listed(items::listing_wait_ms)) << "the failed change changed nothing";
    other.release();
    EXPECT_EQ(std::vector<std::wstring>({a, b}), listed(items::listing_wait_ms));
    EXPECT_TRUE(tag(c));
    EXPECT_EQ(std::vector<std::wstring>({a, b, c}), listed(items::listing_wait_ms));

    // The same folder through the other drive letter, in other case.
    std::wstring spelling = drive.root() + L"QUIBRIX\\";
    spelling[0] = static_cast<wchar_t>(::towlower(spelling[0]));
    items::store_lock elsewhere;
    elsewhere.set_folder(spelling);
    EXPECT_EQ(other.name(), elsewhere.name());
    ASSERT_EQ(items::store_lock::taken, elsewhere.acquire(0));
    EXPECT_FALSE(tag(d)) << "held through the other spelling";
    elsewhere.release();
    EXPECT_TRUE(tag(d));
    EXPECT_EQ(std::vector<std::wstring>({a, b, c, d}), listed(items::listing_wait_ms));
    EXPECT_EQ(lines({a, b, c, d}), run(L"files Work/Invoices").out);

    // Whichever process makes the lock (this one never ran Explorer's start-up), every
    // authenticated user may take it: one user's process cannot lock another's out.
    items::store_lock lone;
    lone.set_folder(store_.path());
    ASSERT_EQ(items::store_lock::taken, lone.acquire(0));
    lone.release();
    EXPECT_TRUE(grants_authenticated_users(lone.duplicate().get()));
}

// A query reads a map as the store writes it: the last record of an id names its file, a void
// record names none, and a torn tail is repaired before the answer, which stays the same.
TEST_F(CliTest, FilesTakesAnIdsLastRecordAndSkipsVoidRecords) {
    const std::wstring first = make(L"a.txt"), second = make(L"b.txt"), moved = make(L"c.txt");
    ASSERT_EQ(0u, run(L"tag a.txt b.txt --tag Work/Invoices").exit_code);
    const std::wstring map = data_ + L"\\Work.dat";
    std::string bytes = read_bytes(map);
    ASSERT_GT(bytes.size(), 6u);
    std::uint16_t length = 0;
    std::memcpy(&length, bytes.data() + 4, 2);
    const std::wstring replaced(reinterpret_cast<const wchar_t*>(bytes.data() + 6), length);
    const std::wstring kept = replaced == first ? second : first;
    const std::uint16_t moved_length = static_cast<std::uint16_t>(moved.size());
    std::string later = bytes.substr(0, 4) + std::string(reinterpret_cast<const char*>(&moved_length), 2) +
                        std::string(reinterpret_cast<const char*>(moved.data()), moved.size() * 2);
    // The void record carries the other file's id.
    std::string void_record = bytes.substr(6 + length * 2, 4) + std::string(2, '\0');
    write_bytes(map, bytes + later + void_record);
    result r = run(L"files Work/Invoices");
    EXPECT_EQ(0u, r.exit_code);
    EXPECT_EQ(kept < moved ? lines({kept, moved}) : lines({moved, kept}), r.out);
    write_bytes(map, bytes + later + void_record + "\x01\x02\x03");
    EXPECT_EQ(r.out, run(L"files Work/Invoices").out);
    EXPECT_EQ(0u, read_bytes(map).size() % 2) << "the torn tail was cut off";
}

// A query of named roots is read from the files it names alone; the engine's load of the whole
// store answers each the same: names in other letter cases, scopes, two roots, names that lead
// nowhere, and paths that sort on either side of the separator or are a prefix of another.
TEST_F(CliTest, FilesOfNamedRootsAnswersAsTheEngineDoes) {
    ASSERT_TRUE(::CreateDirectoryW((files_.path() + L"b").c_str(), nullptr));
    for (const wchar_t* name : {L"b\\x.txt", L"b\\y.txt", L"b_old.txt", L"b c.txt", L"B2.txt", L"\u00e9t\u00e9.txt"}) make(name);
    // Enough files for the sort's partitions, past the few it orders by whole comparisons.
    for (int i = 0; i < 16; ++i) make(L"b\\n" + std::to_wstring(i % 4) + L"\u00e9" + std::to_wstring(i) + L".txt");
    ASSERT_EQ(0u, run(L"tag b -r --tag Work/A/One").exit_code);
    ASSERT_EQ(0u, run(L"tag b b\\x.txt b_old.txt --tag Work/A/One").exit_code);
    ASSERT_EQ(0u, run(L"tag \"b c.txt\" B2.txt b\\y.txt --tag Work/A/Two").exit_code);
    ASSERT_EQ(0u, run(L"tag b_old.txt \"\u00e9t\u00e9.txt\" --tag Work/B").exit_code);
    ASSERT_EQ(0u, run(L"tag b\\x.txt B2.txt --tag Home/C").exit_code);
    const std::vector<std::wstring> queries = {
        L"work/a", L"Work/A/One or Home/C", L"WORK/a and not work/a/two", L"Work/A/One and Home/C",
        L"Home or Work", L"Work/B or Work/Nope", L"Nope/X or Work/A/Two", L"work/a/one/deeper", L"Work/A and not Home"};
    std::vector<result> answers;
    for (const std::wstring& query : queries) answers.push_back(run(L"files \"" + query + L"\""));
    items::TagsHolder db;
    db.set_data_folder(data_ + L"\\");
    ASSERT_TRUE(db.load_store());
    for (std::size_t i = 0; i < queries.size(); ++i) {
        std::wstring expected;
        for (const std::wstring& path : items::tag_query::parse(queries[i]).files(db)) expected += path + L"\n";
        EXPECT_EQ(expected, answers[i].out) << std::string(queries[i].begin(), queries[i].end());
        EXPECT_EQ(expected.empty() ? 1u : 0u, answers[i].exit_code);
    }
    EXPECT_EQ(23u, std::count(answers[4].out.begin(), answers[4].out.end(), L'\n'));
}

// Every DLL an exe imports is loaded and started before its first line. Those the tool needs
// on some paths only are delay-loaded (src/cli/CMakeLists.txt names their functions); a call
// that is not named there brings its DLL back to every start of the tool.
TEST(CliStart, TheToolImportsOnlyTheDllsEveryCommandNeeds) {
    const std::wstring program = windows_path(env("QUIBRIX_CLI"));
    std::ifstream file(std::string(program.begin(), program.end()), std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    IMAGE_DOS_HEADER dos = {};
    IMAGE_NT_HEADERS64 nt = {};
    ASSERT_GT(image.size(), sizeof dos);
    std::memcpy(&dos, image.data(), sizeof dos);
    ASSERT_LT(static_cast<std::size_t>(dos.e_lfanew) + sizeof nt, image.size());
    std::memcpy(&nt, image.data() + dos.e_lfanew, sizeof nt);
    ASSERT_EQ(IMAGE_NT_OPTIONAL_HDR64_MAGIC, nt.OptionalHeader.Magic);
    const std::size_t sections = dos.e_lfanew + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    const auto at = [&](DWORD rva) -> std::size_t {
        for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
            IMAGE_SECTION_HEADER section;
            std::memcpy(&section, image.data() + sections + i * sizeof section, sizeof section);
            if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.SizeOfRawData) {
                return rva - section.VirtualAddress + section.PointerToRawData;
            }
        }
        return image.size();
    };
    std::vector<std::string> dlls;
    std::size_t entry = at(nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress);
    for (;; entry += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        IMAGE_IMPORT_DESCRIPTOR import;
        ASSERT_LE(entry + sizeof import, image.size());
        std::memcpy(&import, image.data() + entry, sizeof import);
        if (import.Name == 0) break;
        const std::size_t name = at(import.Name);
        ASSERT_LT(name, image.size());
        std::string dll = image.c_str() + name;
        std::transform(dll.begin(), dll.end(), dll.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
        dlls.push_back(dll);
    }
    EXPECT_NE(dlls.end(), std::find(dlls.begin(), dlls.end(), "kernel32.dll"));
    for (const char* heavy : {"user32.dll", "shell32.dll", "gdi32.dll", "ole32.dll", "oleaut32.dll", "shlwapi.dll",
                              "comctl32.dll"}) {
        EXPECT_EQ(dlls.end(), std::find(dlls.begin(), dlls.end(), heavy)) << heavy;
    }
}

// Wine reads the tool's image whole at every start: its debug information lives in
// quibrix.debug beside it, not in the exe.
TEST(CliStart, TheToolsImageHoldsNoDebugInformation) {
    const std::wstring program = windows_path(env("QUIBRIX_CLI"));
    WIN32_FILE_ATTRIBUTE_DATA tool = {}, debug = {};
    ASSERT_TRUE(::GetFileAttributesExW(program.c_str(), GetFileExInfoStandard, &tool));
    const std::wstring beside = program.substr(0, program.rfind(L'\\') + 1) + L"quibrix.debug";
    ASSERT_TRUE(::GetFileAttributesExW(beside.c_str(), GetFileExInfoStandard, &debug));
    EXPECT_EQ(0u, tool.nFileSizeHigh);
    EXPECT_LT(tool.nFileSizeLow, 4u << 20);
}

}  // namespace

// The tool's own sort of an answer against a comparison sort: paths that share long prefixes,
// paths that are prefixes of others, one path under several ids, in every length around the
// sort's four-unit steps.
TEST(CliAnswerOrder, ThePathSortOrdersAsAComparisonSortDoes) {
    std::mt19937 random(99);
    const wchar_t* const parts[] = {L"a", L"ab", L"abc", L"abcd", L"abcde", L"A", L"b", L"\u00e4", L""};
    std::vector<std::wstring> paths;
    for (int i = 0; i < 6000; ++i) {
        std::wstring path = L"C:\\Users\\u\\";
        const int depth = 1 + static_cast<int>(random() % 6);
        for (int d = 0; d < depth; ++d) path += std::wstring(parts[random() % 9]) + (d + 1 < depth ? L"\\" : L"");
        paths.push_back(path);
    }
    std::vector<query_reader::path_entry> entries;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const std::wstring& path = paths[i];
        const items::file_id_t id = static_cast<items::file_id_t>(random() % 50000 + 1);
        entries.push_back({0, path.c_str(), static_cast<std::uint32_t>(path.size()), id});
    }
    std::vector<query_reader::path_entry> expected = entries;
    const auto view = [](const query_reader::path_entry& e) { return std::wstring_view(e.path, e.length); };
    std::sort(expected.begin(), expected.end(), [&](const query_reader::path_entry& a, const query_reader::path_entry& b) {
        return view(a) < view(b) || (view(a) == view(b) && a.id < b.id);
    });
    query_reader::sort_by_path(entries);
    ASSERT_EQ(expected.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        ASSERT_EQ(view(expected[i]), view(entries[i])) << i;
        ASSERT_EQ(expected[i].id, entries[i].id) << i;
    }
}
