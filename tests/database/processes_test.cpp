// Several processes over one store, each running the module's real start-up and store code (the
// child program store_child): whatever one of them completed is in the store afterwards, also
// when another is killed at any point of its work.
#include "child_process.h"
#include "store_fixture.h"
#include "store_process_plan.h"

#include "util/unique_resource.h"

#include <cstdio>
#include <map>

namespace {

using process_plan::path_count;
using process_plan::tag_count;

std::wstring child_program() {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    return path.substr(0, path.rfind(L'\\') + 1) + L"store_child.exe";
}

// A child that cannot be started fails the test; it does not stop it, so that the children
// already running are stopped and checked.
child_process start_child(const std::wstring& app_data, const std::wstring& journal, unsigned long seed, int worker,
                          const std::wstring& stop_event) {
    const std::wstring command = L"\"" + child_program() + L"\" \"" + app_data + L"\" \"" + journal + L"\" " +
                                 std::to_wstring(seed) + L" " + std::to_wstring(worker) + L" " + stop_event;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    DWORD error = 0;
    if (!start_process(nullptr, command, FALSE, 0, nullptr, startup, process, error)) {
        ADD_FAILURE() << "cannot start the child process: " << error;
        return child_process();
    }
    return child_process(process);
}

// Shared with the child that is still writing it.
std::string read_text(const std::wstring& path) {
    util::unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    std::string text;
    if (!file) return text;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    return text;
}

// The last lines of a journal, to show where a child stood when a check failed.
std::string journal_tail(const std::wstring& journal) {
    const std::string text = read_text(journal);
    std::string::size_type start = text.size();
    for (int lines = 0; lines <= 8 && start != std::string::npos && start > 0; ++lines) start = text.rfind('\n', start - 1);
    return start == std::string::npos ? text : text.substr(start + 1);
}

// What each (file, tag) of one worker may be after its journals: absent (1), present (2), or
// either (3) where an operation's outcome is open.
class expectation {
public:
    expectation() {
        for (auto& row : possible_) {
            for (unsigned char& cell : row) cell = absent;
        }
    }

    // One run of the worker, in order after the earlier ones.
    void read(const std::wstring& journal) {
        struct begun {
            char op;
            int path;
            unsigned tags;
        };
        std::map<unsigned long, begun> open;
        const std::string text = read_text(journal);
        std::string::size_type start = 0;
        for (std::string::size_type end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            const std::string line = text.substr(start, end - start);
            if (line.empty() || line.back() != ';') continue;  // cut by a kill
            unsigned long n = 0;
            char op = 0;
            int path = 0;
            unsigned tags = 0;
            if (line == "L;") {
                ++loads;
            } else if (std::sscanf(line.c_str(), "B %lu %c %d %u;", &n, &op, &path, &tags) == 4) {
                open[n] = begun{op, path, tags};
            } else if (std::sscanf(line.c_str(), "D %lu;", &n) == 1 && open.count(n)) {
                apply(open[n].op, open[n].path, open[n].tags, true);
                open.erase(n);
                ++done;
            } else if (std::sscanf(line.c_str(), "F %lu;", &n) == 1 && open.count(n)) {
                apply(open[n].op, open[n].path, open[n].tags, false);
                open.erase(n);
                ++failed;
            }
        }
        for (const auto& entry : open) {
            apply(entry.second.op, entry.second.path, entry.second.tags, false);
            ++cut;
        }
    }

    // Compares the store, freshly loaded, with what the journals allow.
    void check(items::TagsHolder& db, int worker) const {
        for (int p = 0; p < path_count; ++p) {
            const std::wstring path = process_plan::path_of(worker, p);
            unsigned present = 0;
            for (const items::tree_ptr& tree : db.tags_of_paths({path})) {
                for (const std::wstring& chain : chains_of(tree)) {
                    int t = 0;
                    while (t < tag_count && chain != process_plan::tag_chain(t)) ++t;
                    ASSERT_LT(t, tag_count) << "a tag nobody gave";
                    present |= 1u << t;
                }
            }
            for (int t = 0; t < tag_count; ++t) {
                const unsigned char state = (present & (1u << t)) ? present_bit : absent;
                EXPECT_TRUE(possible_[p][t] & state)
                    << "worker " << worker << " file " << p << " tag " << t << (state == present_bit ? " present" : " missing");
            }
        }
    }

    int done = 0;
    int failed = 0;
    int cut = 0;  // operations a kill left open
    int loads = 0;

private:
    static const unsigned char absent = 1;
    static const unsigned char present_bit = 2;

    void apply(char op, int path, unsigned tags, bool completed) {
        if (path < 0 || path >= path_count) return;
        for (int t = 0; t < tag_count; ++t) {
            if (op != process_plan::op_remove_all && !(tags & (1u << t))) continue;
            const unsigned char after = op == process_plan::op_add ? present_bit : absent;
            possible_[path][t] = completed ? after : static_cast<unsigned char>(possible_[path][t] | after);
        }
    }

    unsigned char possible_[path_count][tag_count];
};

class StoreProcesses : public ::testing::Test {
protected:
    StoreProcesses()
        : app_data(folder.path().substr(0, folder.path().size() - 1)),
          stop_name(L"QuibrixStoreTestStop-" + std::to_wstring(::GetCurrentProcessId())),
          stop(::CreateEventW(nullptr, TRUE, FALSE, stop_name.c_str())) {}

    // A database object loaded from the disk now, as a third process would.
    void check_store(const std::vector<const expectation*>& workers) {
        items::TagsHolder db;
        db.set_data_folder(app_data + L"\\Quibrix\\");
        db.load_store();
        EXPECT_EQ(0u, db.unread_count()) << "a root or tag of the store could not be read";
        for (std::size_t w = 0; w < workers.size(); ++w) {
            if (workers[w]) workers[w]->check(db, static_cast<int>(w));
        }
    }

    void finish(child_process& child) {
        if (!child.valid()) return;  // its start failed the test already
        if (!child.wait(60000)) {
            child.kill();
            FAIL() << "a child process did not stop";
        }
        EXPECT_EQ(0u, child.exit_code());
    }

    TempFolder folder;
    const std::wstring app_data;
    const std::wstring stop_name;
    util::unique_handle stop;
};

}  // namespace

TEST_F(StoreProcesses, TwoProcessesTaggingTheSameTagsLoseNothing) {
    const std::wstring journals[2] = {folder.path() + L"journal0", folder.path() + L"journal1"};
    child_process children[2];
    for (int w = 0; w < 2; ++w) children[w] = start_child(app_data, journals[w], 1400 + w, w, stop_name);
    ::Sleep(30000);
    ::SetEvent(stop.get());
    for (child_process& child : children) finish(child);

    expectation workers[2];
    for (int w = 0; w < 2; ++w) {
        workers[w].read(journals[w]);
        EXPECT_EQ(0, workers[w].failed);
        EXPECT_EQ(0, workers[w].cut);
        EXPECT_GT(workers[w].done, 20) << "worker " << w << " hardly worked";
    }
    std::printf("[ figures  ] 30 s: %d and %d operations completed\n", workers[0].done, workers[1].done);
    check_store({&workers[0], &workers[1]});
    if (HasFailure()) {
        for (const std::wstring& journal : journals) std::printf("journal end:\n%s\n", journal_tail(journal).c_str());
    }
}

TEST_F(StoreProcesses, AProcessKilledAtAnyPointLosesNothingThatWasComplete) {
    const std::wstring steady_journal = folder.path() + L"steady";
    child_process steady = start_child(app_data, steady_journal, 1410, 1, stop_name);
    if (!steady.valid()) return;
    process_plan::rng timing = {1411};
    expectation killed;
    int kills = 0;
    for (int cycle = 0; cycle < 50; ++cycle) {
        const std::wstring journal = folder.path() + L"killed" + std::to_wstring(cycle);
        child_process child = start_child(app_data, journal, 1500 + cycle, 0, stop_name);
        if (!child.valid()) break;
        // Half of the kills fall anywhere from the process's start, the others while it works.
        if (cycle % 2) {
            for (int waited = 0; waited < 30000 && read_text(journal).find("L;") == std::string::npos; waited += 10) {
                ::Sleep(10);
            }
        }
        ::Sleep(timing.below(cycle % 2 ? 300 : 900));
        ::TerminateProcess(child.get(), 9);
        ASSERT_TRUE(child.wait(30000));
        ++kills;
        killed.read(journal);
        check_store({&killed, nullptr});
        if (HasFailure()) {
            ADD_FAILURE() << "after kill " << cycle << "; the killed process's journal ends:\n" << journal_tail(journal);
            break;
        }
    }
    ::SetEvent(stop.get());
    finish(steady);
    expectation steady_worker;
    steady_worker.read(steady_journal);
    EXPECT_EQ(0, steady_worker.failed);
    std::printf("[ figures  ] %d kills: %d operations completed by the killed processes, %d left open by a kill, "
                "%d loads finished; the steady process completed %d\n",
                kills, killed.done, killed.cut, killed.loads, steady_worker.done);
    check_store({&killed, &steady_worker});
}
