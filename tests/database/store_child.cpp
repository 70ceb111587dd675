// A second Explorer process for the store's process tests: it runs the module's real start-up on
// a given application-data folder and then tags and untags its own files in tags that other
// processes use too, until its stop event is set or it is killed.
//
//   store_child <app-data folder> <journal> <seed> <worker> <stop event name>
//
// The journal tells the test what was done: "B <n> <op> <path> <tags>;" before operation n
// starts, "D <n>;" once it has returned, "F <n>;" when it threw, "L;" once the start-up load has
// finished. Every line is written before the next step, so a kill leaves at most one operation
// whose outcome is open. A line cut by a kill lacks its ';' and is ignored.
#include "database/tags_holder.h"
#include "explorer/startup.h"
#include "store_process_plan.h"
#include "util/unique_resource.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

class journal {
public:
    explicit journal(const std::wstring& path)
        : file_(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    bool valid() const { return file_.valid(); }
    void line(const char* format, ...) {
        char text[128];
        va_list args;
        va_start(args, format);
        const int length = std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        DWORD written = 0;
        ::WriteFile(file_.get(), text, static_cast<DWORD>(length), &written, nullptr);
    }

private:
    util::unique_file file_;
};

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (!argv || argc != 6) return 2;
    journal log(argv[2]);
    util::unique_handle stop(::OpenEventW(SYNCHRONIZE, FALSE, argv[5]));
    if (!log.valid() || !stop) return 3;
    process_plan::rng random = {std::wcstoull(argv[3], nullptr, 10)};
    const int worker = static_cast<int>(std::wcstol(argv[4], nullptr, 10));

    explorer::startup_places places;
    places.common_app_data = argv[1];
    places.registry_root = HKEY_CURRENT_USER;
    places.plugin_folder = std::wstring(argv[1]) + L"\\no-plugins";
    if (!explorer::start_up(places)) return 4;
    items::TagsHolder& db = items::tags_holder();
    db.wait_loaded(INFINITE);
    log.line("L;\n");

    for (unsigned long n = 1; ::WaitForSingleObject(stop.get(), 0) != WAIT_OBJECT_0; ++n) {
        const process_plan::step step = process_plan::next_step(random);
        if (step.op == process_plan::op_list) {
            items::shell_item_list out;
            db.list_level({L"Shared", L"Genre", L"Rock", items::filtered_items_name}, 0, out);
            continue;
        }
        const std::wstring path = process_plan::path_of(worker, step.path);
        log.line("B %lu %c %d %u;\n", n, static_cast<char>(step.op), step.path, step.tags);
        try {
            switch (step.op) {
            case process_plan::op_add:
                db.set_tags({path}, process_plan::tree_of(step.tags), items::tree_ptr());
                break;
            case process_plan::op_remove:
                db.set_tags({path}, items::tree_ptr(), process_plan::tree_of(step.tags));
                break;
            default:
                db.remove_all_tags({path}, false);
                break;
            }
            log.line("D %lu;\n", n);
        } catch (const std::exception&) {
            log.line("F %lu;\n", n);
        }
    }
    return 0;
}
