// quibrix.exe as a script runs it: real processes, their exit codes and what they print to a
// pipe, against a store of the test's own.
#include "child_process.h"
#include "folder_link.h"
#include "temp_folder.h"
#include "util/unique_resource.h"

#include "quibrix_version.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <fstream>
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
    bool started() { return process_.valid() && next_line() == L"ready"; }
    void send(const std::wstring& line) {
        const std::string bytes = to_utf8(line + L"\n");
        DWORD written = 0;
        ::WriteFile(input_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
    // The lines of the answer to the command sent last, without its "end".
    std::vector<std::wstring> reply() {
        std::vector<std::wstring> lines;
        for (std::wstring line = next_line(); line != L"end"; line = next_line()) {
            if (line == L"failed" || line == L"(gone)") {
                ADD_FAILURE() << "explorer_peer: " << std::string(line.begin(), line.end());
                break;
            }
            lines.push_back(line);
        }
        return lines;
    }
    std::vector<std::wstring> command(const std::wstring& line) {
        send(line);
        return reply();
    }

private:
    static std::string to_utf8(const std::wstring& text) {
        const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                                nullptr, nullptr);
        std::string out(static_cast<std::size_t>(bytes), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], bytes, nullptr, nullptr);
        return out;
    }
    std::wstring next_line() {
        for (;;) {
            const std::string::size_type end = pending_.find('\n');
            if (end != std::string::npos) {
                const std::wstring line = from_utf8(pending_.substr(0, end));
                pending_.erase(0, end + 1);
                return line;
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

// The tool while Explorer holds the store: a second process runs the module's start-up over
// the store and writes to it, and each side sees what the other wrote, also when both write at
// the same time.
TEST_F(CliTest, ToolAndExplorerShareTheStoreWhileBothWrite) {
    const std::wstring app_data = store_.path() + L"app";
    ASSERT_TRUE(::CreateDirectoryW(app_data.c_str(), nullptr));
    data_ = app_data + L"\\Quibrix";  // where Explorer's start-up keeps the store
    explorer_peer explorer(app_data);
    ASSERT_TRUE(explorer.started());
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

}  // namespace
