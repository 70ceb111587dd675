// quibrix.exe: the tag store from a command line, for scripts and batch files. It links the
// engine itself (the COM module refuses every host but Explorer) and works on the same store.
#include "autotag/files_iterator.h"
#include "cli/query_reader.h"
#include "cli/transfer.h"
#include "cli/tree_commands.h"
#include "database/store_io.h"
#include "database/tag_query.h"
#include "database/tags_holder.h"
#include "util/file_names.h"
#include "util/file_system.h"
#include "util/unique_resource.h"

#include "quibrix_version.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <exception>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

const int exit_ok = 0;
const int exit_nothing = 1;
const int exit_error = 2;

class output;
output& out();

// Text to a console goes as UTF-16 through WriteConsoleW; to a pipe or a file as UTF-8, so that
// any path survives whatever code page the reader uses. Standard output is gathered and written
// in pieces: a system call per line made a listing of many files slow. Standard error is written
// at once, after what standard output holds, so that the two keep their order when they share
// a file.
class output {
public:
    output(DWORD which, bool immediate) : handle_(::GetStdHandle(which)), immediate_(immediate) {
        DWORD mode = 0;
        console_ = handle_ && ::GetConsoleMode(handle_, &mode);
    }
    void write(std::wstring_view text) {
        if (!handle_ || text.empty()) return;
        if (immediate_) out().flush();
        if (console_) {
            pending_.append(text.data(), text.size());
        } else {
            append_utf8(text);
        }
        if (immediate_ || pending_.size() >= piece_units || utf8_used_ >= piece_bytes) flush();
    }
    void flush() {
        DWORD done = 0;
        if (utf8_used_) {
            ::WriteFile(handle_, utf8_.get(), static_cast<DWORD>(utf8_used_), &done, nullptr);
            utf8_used_ = 0;
        }
        if (pending_.empty()) return;
        // WriteConsoleW refuses very large buffers on older Windows: at most a piece at a time,
        // and a surrogate pair kept whole.
        for (std::size_t at = 0; at < pending_.size();) {
            std::size_t units = std::min(pending_.size() - at, piece_units);
            const wchar_t last = pending_[at + units - 1];
            if (at + units < pending_.size() && last >= 0xD800 && last <= 0xDBFF) --units;
            ::WriteConsoleW(handle_, pending_.data() + at, static_cast<DWORD>(units), &done, nullptr);
            at += units;
        }
        pending_.clear();
    }

private:
    static const std::size_t piece_units = 16384;
    static const std::size_t piece_bytes = 1 << 20;

    // Room for `more` bytes behind those held. Not a std::string: growing one fills the new
    // bytes first, three for every unit of every line.
    char* room(std::size_t more) {
        if (utf8_used_ + more > utf8_capacity_) {
            const std::size_t capacity = std::max(utf8_used_ + more, piece_bytes + piece_bytes / 2);
            std::unique_ptr<char[]> bigger(new char[capacity]);
            if (utf8_used_) std::memcpy(bigger.get(), utf8_.get(), utf8_used_);
            utf8_.swap(bigger);
            utf8_capacity_ = capacity;
        }
        return utf8_.get() + utf8_used_;
    }

    // As WideCharToMultiByte encodes it, which answers text holding a lone surrogate.
    void append_utf8(std::wstring_view text) {
        char* const start = room(text.size() * 3);
        char* at = start;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const unsigned c = text[i];
            if (c < 0x80) {
                *at++ = static_cast<char>(c);
            } else if (c < 0x800) {
                *at++ = static_cast<char>(0xC0 | c >> 6);
                *at++ = static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0xD800 || c > 0xDFFF) {
                *at++ = static_cast<char>(0xE0 | c >> 12);
                *at++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
                *at++ = static_cast<char>(0x80 | (c & 0x3F));
            } else if (c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                const unsigned point = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
                *at++ = static_cast<char>(0xF0 | point >> 18);
                *at++ = static_cast<char>(0x80 | (point >> 12 & 0x3F));
                *at++ = static_cast<char>(0x80 | (point >> 6 & 0x3F));
                *at++ = static_cast<char>(0x80 | (point & 0x3F));
            } else {
                const int units = static_cast<int>(text.size());
                const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
                ::WideCharToMultiByte(CP_UTF8, 0, text.data(), units, room(static_cast<std::size_t>(bytes)), bytes,
                                      nullptr, nullptr);
                utf8_used_ += static_cast<std::size_t>(bytes);
                return;
            }
        }
        utf8_used_ += static_cast<std::size_t>(at - start);
    }

    HANDLE handle_;
    bool immediate_;
    bool console_ = false;
    std::wstring pending_;
    std::unique_ptr<char[]> utf8_;
    std::size_t utf8_used_ = 0;
    std::size_t utf8_capacity_ = 0;
};

output& out() {
    static output stream(STD_OUTPUT_HANDLE, false);
    return stream;
}
output& err() {
    static output stream(STD_ERROR_HANDLE, true);
    return stream;
}

const wchar_t usage[] =
    L"Usage: quibrix [--data FOLDER] COMMAND [ARGS]\n"
    L"Tags files and finds them by tag, in the same store as Quibrix in Explorer.\n"
    L"\n"
    L"Commands:\n"
    L"  tag PATH... --tag ROOT/SCOPE/TAG [--tag ...] [-r]   give tags to files and folders\n"
    L"  untag PATH... (--tag ROOT/.../TAG ... | --all) [-r] take tags away\n"
    L"  tags PATH...                                        the tags of each path\n"
    L"  files QUERY                                         the files that match a query\n"
    L"  tree                                                the tag tree with file counts\n"
    L"  rename OLD NEW                                      rename or move a tag\n"
    L"  merge FROM INTO                                     merge tag FROM into tag INTO\n"
    L"  repair                                              follow moved files, list those gone\n"
    L"  export [QUERY] [--output FILE]                      the tags of files as JSON\n"
    L"  import FILE [--map FROM=TO]... [--dry-run]          give files the tags of an export\n"
    L"\n"
    L"Options: --data FOLDER (the store; default: the common application data\\Quibrix),\n"
    L"  -0 (end each output line with NUL instead of a line break), -h/--help, --version.\n"
    L"Exit status: 0 done, 1 nothing matched, 2 error.\n"
    L"Run 'quibrix COMMAND --help' for one command.\n";

const wchar_t* command_help(const std::wstring& command) {
    if (const wchar_t* text = tree_commands::help(command)) return text;
    if (command == L"tag") {
        return L"Usage: quibrix tag PATH... --tag ROOT/SCOPE/TAG [--tag ...] [-r]\n"
               L"Gives every PATH each tag. A tag is named by its path from the root tag down;\n"
               L"missing roots, scopes and tags are made. A folder is tagged as itself; -r tags\n"
               L"the files and folders below it instead.\n";
    }
    if (command == L"untag") {
        return L"Usage: quibrix untag PATH... (--tag ROOT/.../TAG [--tag ...] | --all) [-r]\n"
               L"Takes the named tags (or with --all every tag) away from every PATH.\n";
    }
    if (command == L"tags") {
        return L"Usage: quibrix tags PATH...\n"
               L"Prints the tags of each PATH, one per line (with several paths: PATH, a tab, the tag).\n"
               L"Exit status 1 when no path has a tag.\n";
    }
    if (command == L"files") {
        return L"Usage: quibrix files QUERY\n"
               L"Prints the files that match QUERY, one per line. A query combines tag paths with\n"
               L"and, or, not and parentheses; a tag path stands for the files tagged at it or below.\n"
               L"Quote names with blanks: \"Work/My Invoices\" and not Work/Paid\n"
               L"Exit status 1 when nothing matches, 2 for a query that cannot be read.\n";
    }
    if (command == L"tree") {
        return L"Usage: quibrix tree\n"
               L"Prints every root tag, scope and tag as its path, a tab and its number of files.\n";
    }
    if (command == L"repair") {
        return L"Usage: quibrix repair\n"
               L"Finds tagged files that another program moved or renamed, by their identity on\n"
               L"the volume, and moves their tags along (each on standard error as OLD -> NEW;\n"
               L"the files of a drive that came back under another letter as one line,\n"
               L"moved E:\\ -> F:\\ (N files)).\n"
               L"Then prints the tagged paths that still do not exist. Exit status 1 when there\n"
               L"are some.\n";
    }
    return transfer::help(command);
}

struct arguments {
    std::wstring data;
    std::wstring command;
    std::vector<std::wstring> operands;
    std::vector<std::wstring> tags;
    transfer::options options;
    bool all = false;
    bool recursive = false;
    bool nul = false;
    bool help = false;
    bool version = false;
};

class usage_error : public std::exception {
public:
    explicit usage_error(const std::wstring& text) : text(text) {}
    std::wstring text;
};

arguments parse_arguments(int argc, wchar_t** argv) {
    arguments a;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (!options_end && arg == L"--") {
            options_end = true;
        } else if (!options_end && (arg == L"--data" || arg == L"--tag" || arg == L"-t")) {
            if (i + 1 >= argc) throw usage_error(arg + L" needs a value");
            (arg == L"--data" ? a.data : (a.tags.push_back(std::wstring()), a.tags.back())) = argv[++i];
        } else if (!options_end && arg == L"--all") {
            a.all = true;
        } else if (!options_end && arg == L"-r") {
            a.recursive = true;
        } else if (!options_end && arg == L"-0") {
            a.nul = true;
        } else if (!options_end && arg == L"--version") {
            a.version = true;
        } else if (!options_end && (arg == L"-h" || arg == L"--help" || arg == L"/?")) {
            a.help = true;
        } else if (!options_end && transfer::is_option(a.command, arg)) {
            a.options.emplace_back(arg, transfer::takes_value(arg) && i + 1 < argc ? argv[++i] : L"");
        } else if (!options_end && arg.size() > 1 && arg[0] == L'-') {
            throw usage_error(L"unknown option " + arg);
        } else if (a.command.empty()) {
            a.command = arg;
        } else {
            a.operands.push_back(arg);
        }
    }
    return a;
}

// `full` spelled as the file system spells it, as the shell hands paths over: each existing
// component as FindFirstFileW names it (its letter case, its long name), the drive letter in
// upper case. c:\DOCS\paid.pdf and C:\docs\paid.pdf are one file for Windows, and the store must
// keep one spelling of it: a path's id is the hash of its spelling. Links along the path stay as
// given, as in the shell's paths; what does not exist keeps the spelling given.
std::wstring as_the_file_system_spells(const std::wstring& full) {
    std::wstring spelled;
    std::wstring::size_type start = 0;
    if (full.size() >= 2 && full[1] == L':') {
        spelled = full.substr(0, 2);
        spelled[0] = static_cast<wchar_t>(::towupper(spelled[0]));
        start = 2;
    } else if (full.compare(0, 2, L"\\\\") == 0) {
        // \\server\share (or \\?\ and its volume) is kept as given.
        const std::wstring::size_type server_end = full.find(L'\\', 2);
        start = server_end == std::wstring::npos ? std::wstring::npos : full.find(L'\\', server_end + 1);
        if (start == std::wstring::npos) return full;
        spelled = full.substr(0, start);
    } else {
        return full;
    }
    while (start < full.size()) {
        if (full[start] == L'\\') {
            spelled += L'\\';
            ++start;
            continue;
        }
        std::wstring::size_type end = full.find(L'\\', start);
        if (end == std::wstring::npos) end = full.size();
        const std::wstring component = full.substr(start, end - start);
        WIN32_FIND_DATAW data;
        // A wildcard would make FindFirstFileW name some other file.
        util::unique_find found(component.find_first_of(L"*?") == std::wstring::npos
                                    ? ::FindFirstFileW((spelled + component).c_str(), &data)
                                    : INVALID_HANDLE_VALUE);
        if (!found) return spelled + full.substr(start);
        spelled += data.cFileName;
        start = end;
    }
    return spelled;
}

std::wstring full_path(const std::wstring& path) {
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (!needed) throw usage_error(L"not a path: " + path);
    std::wstring full(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    full.resize(length);
    // The store keeps paths without a trailing separator, as the shell hands them over.
    while (full.size() > 3 && full.back() == L'\\') full.pop_back();
    return as_the_file_system_spells(full);
}

// The paths a command works on: full, and with -r what lies below each folder.
std::vector<std::wstring> target_paths(const arguments& a) {
    if (a.operands.empty()) throw usage_error(L"no PATH given");
    std::vector<std::wstring> paths;
    for (const std::wstring& operand : a.operands) {
        const std::wstring path = full_path(operand);
        if (a.recursive && util::folder_exists(path)) {
            autotag::FilesIteratorInDir walk(path, true);
            std::wstring below;
            bool is_dir = false;
            while (walk.next(below, is_dir)) paths.push_back(below);
        } else {
            paths.push_back(path);
        }
    }
    return paths;
}

std::vector<std::wstring> tag_chain(const std::wstring& tag) {
    const std::vector<std::wstring> chain = items::split_tag_path(tag);
    if (chain.size() < 2) throw usage_error(L"a tag needs a root and a name: " + tag);
    for (const std::wstring& name : chain) {
        if (!util::is_valid_file_name(name)) throw usage_error(L"'" + name + L"' cannot be a tag name");
    }
    return chain;
}

std::wstring join(const std::vector<std::wstring>& names) {
    std::wstring text;
    for (const std::wstring& name : names) text += (text.empty() ? L"" : L"/") + name;
    return text;
}

void chains_below(const items::tree_node& node, std::vector<std::wstring>& prefix, std::vector<std::wstring>& out) {
    prefix.push_back(node.name);
    if (node.children.empty()) out.push_back(join(prefix));
    for (const items::tree_ptr& child : node.children) chains_below(*child, prefix, out);
    prefix.pop_back();
}

std::size_t count_files(const items::base_node& node, std::set<items::file_id_t>& ids) {
    if (node.kind == items::kind_tag) {
        const items::tag& leaf = static_cast<const items::tag&>(node);
        ids.insert(leaf.ids.begin(), leaf.ids.end());
    }
    for (const items::node_ptr& child : node.children) count_files(*child, ids);
    return ids.size();
}

std::vector<items::node_ptr> sorted_by_name(const std::vector<items::node_ptr>& nodes) {
    std::vector<items::node_ptr> sorted = nodes;
    std::sort(sorted.begin(), sorted.end(),
              [](const items::node_ptr& a, const items::node_ptr& b) { return a->name < b->name; });
    return sorted;
}

void print_tree(const items::base_node& node, const std::wstring& prefix, std::vector<std::wstring>& lines) {
    const std::wstring path = prefix.empty() ? node.name : prefix + L"/" + node.name;
    std::set<items::file_id_t> ids;
    lines.push_back(path + L"\t" + std::to_wstring(count_files(node, ids)));
    for (const items::node_ptr& child : sorted_by_name(node.children)) print_tree(*child, path, lines);
}

class cli {
public:
    explicit cli(const arguments& a) : args_(a), end_(a.nul ? std::wstring(1, L'\0') : std::wstring(L"\n")) {}

    int run() {
        // An import reads and checks its whole document before it opens the store.
        if (args_.command == L"import") {
            return transfer::import_tags(db_, args_.operands, args_.options, [this] { return open_store() == exit_ok; });
        }
        const int opened = open_store();
        return opened == exit_ok ? dispatch() : opened;
    }

private:
    int open_store() {
        const std::wstring folder = data_folder();
        if (!util::folder_exists(folder)) {
            const bool makes_store = args_.command == L"tag" || args_.command == L"import";
            if (!makes_store || !::CreateDirectoryW(folder.c_str(), items::g_store_security)) {
                err().write(L"quibrix: no tag store at " + folder + L"\n");
                return exit_error;
            }
        }
        // A link is no store: loading through it would prune and rewrite another folder.
        if (util::is_link(folder)) {
            err().write(L"quibrix: the tag store at " + folder + L" is a link\n");
            return exit_error;
        }
        db_.set_data_folder(folder);
        if (!load()) {
            err().write(L"quibrix: the tag store at " + folder + L" cannot be read now (another process may hold it)\n");
            return exit_error;
        }
        return exit_ok;
    }

    int dispatch() {
        const auto to_error = [](const std::wstring& text) { err().write(text); };
        if (args_.command == L"tag") return tag();
        if (args_.command == L"untag") return untag();
        if (args_.command == L"tags") return tags();
        if (args_.command == L"files") return files();
        if (args_.command == L"tree") return tree();
        if (args_.command == L"repair") return repair();
        if (args_.command == L"rename") return tree_commands::rename(db_, args_.operands, to_error);
        if (args_.command == L"merge") return tree_commands::merge(db_, args_.operands, to_error);
        if (args_.command == L"export") return transfer::export_tags(db_, args_.operands, args_.options);
        throw usage_error(L"unknown command " + args_.command);
    }

    std::wstring data_folder() const {
        if (!args_.data.empty()) return util::with_trailing_backslash(full_path(args_.data));
        const std::wstring app_data = util::common_app_data();
        if (app_data.empty()) throw usage_error(L"the common application data folder is unknown");
        return util::with_trailing_backslash(app_data) + L"Quibrix\\";
    }

    // A query that cannot reach every root needs only the roots it names: the others' maps and
    // tags would be read for nothing.
    bool load() {
        if (args_.command == L"files" && args_.operands.size() == 1) {
            try {
                const items::tag_query query = items::tag_query::parse(args_.operands[0]);
                if (!query.reaches_every_root()) {
                    quick_.reset(new query_reader::answer);
                    const query_reader::outcome read = quick_->read(db_.path, query);
                    if (read != query_reader::outcome::declined) return read == query_reader::outcome::answered;
                    quick_.reset();
                    std::vector<std::wstring> roots;
                    for (const std::vector<std::wstring>& chain : query.names()) roots.push_back(chain.front());
                    return db_.load_roots(roots);
                }
            } catch (const items::query_error&) {
                // files() reports it, after the load as ever.
            }
        }
        return db_.load_store();
    }

    void line(std::wstring_view text) {
        out().write(text);
        out().write(end_);
    }

    int tag() {
        if (args_.tags.empty()) throw usage_error(L"tag needs at least one --tag");
        const std::vector<std::wstring> paths = target_paths(args_);
        for (const std::wstring& tag : args_.tags) {
            if (!db_.set_tags(paths, items::make_chain(tag_chain(tag)), items::tree_ptr())) return exit_error;
        }
        return exit_ok;
    }

    int untag() {
        if (args_.tags.empty() == !args_.all) throw usage_error(L"untag needs --tag or --all (not both)");
        const std::vector<std::wstring> paths = target_paths(args_);
        if (args_.all) {
            db_.remove_all_tags(paths, true);
            return exit_ok;
        }
        for (const std::wstring& tag : args_.tags) db_.set_tags(paths, items::tree_ptr(), items::make_chain(tag_chain(tag)));
        return exit_ok;
    }

    int tags() {
        if (args_.operands.empty()) throw usage_error(L"no PATH given");
        bool any = false;
        for (const std::wstring& operand : args_.operands) {
            const std::wstring path = full_path(operand);
            std::vector<std::wstring> chains;
            std::vector<std::wstring> prefix;
            for (const items::tree_ptr& tree : db_.tags_of_paths({path})) chains_below(*tree, prefix, chains);
            std::sort(chains.begin(), chains.end());
            for (const std::wstring& chain : chains) line(args_.operands.size() > 1 ? path + L"\t" + chain : chain);
            any = any || !chains.empty();
        }
        return any ? exit_ok : exit_nothing;
    }

    int files() {
        if (args_.operands.size() != 1) throw usage_error(L"files takes one QUERY (quote it)");
        const std::wstring& text = args_.operands[0];
        try {
            const items::tag_query query = items::tag_query::parse(text);
            if (quick_) {
                const std::size_t printed = quick_->each_path([this](std::wstring_view path) { line(path); });
                return printed ? exit_ok : exit_nothing;
            }
            // The paths are printed from the database's tables, under its lock.
            const util::lock_guard held = db_.lock();
            const std::vector<items::stored_path> found = query.paths(db_);
            std::wstring scratch;
            for (const items::stored_path& path : found) line(path.in(scratch));
            return found.empty() ? exit_nothing : exit_ok;
        } catch (const items::query_error& error) {
            const std::string what = error.what();
            err().write(L"quibrix: " + std::wstring(what.begin(), what.end()) + L" at position " +
                        std::to_wstring(error.position + 1) + L"\n  " + text + L"\n  " +
                        std::wstring(error.position, L' ') + L"^\n");
            return exit_error;
        }
    }

    int tree() {
        std::vector<std::wstring> lines;
        {
            const util::lock_guard held = db_.lock();
            for (const items::node_ptr& root : sorted_by_name(db_.children)) print_tree(*root, std::wstring(), lines);
        }
        for (const std::wstring& text : lines) line(text);
        return lines.empty() ? exit_nothing : exit_ok;
    }

    int repair() {
        const items::TagsHolder::relink_report report = db_.relink_moved();
        for (const auto& drive : report.volume_moves) {
            err().write(L"moved " + drive.from + L" -> " + drive.to + L" (" + std::to_wstring(drive.files) +
                        (drive.files == 1 ? L" file)\n" : L" files)\n"));
        }
        for (const auto& move : report.moved) err().write(move.first + L" -> " + move.second + L"\n");
        bool missing = false;
        for (const std::pair<items::file_id_t, std::wstring>& file : db_.tagged_paths()) {
            if (::GetFileAttributesW(file.second.c_str()) != INVALID_FILE_ATTRIBUTES) continue;
            line(file.second);
            missing = true;
        }
        return missing ? exit_nothing : exit_ok;
    }

    const arguments& args_;
    const std::wstring end_;
    items::TagsHolder db_;
    std::unique_ptr<query_reader::answer> quick_;  // a query answered without the engine's load
};

int run_tool(int argc, wchar_t** argv) {
    try {
        const arguments a = parse_arguments(argc, argv);
        if (a.version) {
            out().write(std::wstring(L"quibrix ") + QUIBRIX_VERSION_WSTRING + L"\n");
            return exit_ok;
        }
        if (a.command.empty()) {
            (a.help ? out() : err()).write(usage);
            return a.help ? exit_ok : exit_error;
        }
        if (a.help) {
            const wchar_t* text = command_help(a.command);
            if (!text) throw usage_error(L"unknown command " + a.command);
            out().write(text);
            return exit_ok;
        }
        items::g_immediate_write = true;
        // What the tool makes in the store (its folder, files and lock) is open to every user,
        // as what Explorer makes: the store is shared by all users of the machine.
        items::g_store_security = items::shared_security();
        // Nobody waits for the tool: it waits up to a minute for a store that another process
        // holds, where Explorer would give up after seconds.
        const items::patient_thread patient;
        return cli(a).run();
    } catch (const usage_error& error) {
        err().write(L"quibrix: " + error.text + L"\nRun 'quibrix --help' for usage.\n");
    } catch (const items::store_error& error) {
        const std::string what = error.what();
        err().write(L"quibrix: " + std::wstring(what.begin(), what.end()) + L" (system error " +
                    std::to_wstring(error.system_error) + L")\n");
    } catch (const std::exception& error) {
        const std::string what = error.what();
        err().write(L"quibrix: " + std::wstring(what.begin(), what.end()) + L"\n");
    }
    return exit_error;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int code = run_tool(argc, argv);
    out().flush();
    return code;
}
