// Fills a machine's tag database with a few sample files and tags, through the database itself,
// so that a fresh installation has something to show in the Quibrix folder. Used by scripts/run.
//
//   quibrix_sample_data [folder]   the sample files go into `folder` (default C:\Quibrix Samples)
#include "database/store_io.h"
#include "database/tags_holder.h"
#include "explorer/startup.h"
#include "util/file_names.h"
#include "util/unique_resource.h"

#include <shlobj.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct sample {
    const wchar_t* file;
    std::vector<std::vector<std::wstring>> tags;  // chains: root, scopes..., tag
};

const std::vector<sample> samples = {
    {L"beach.jpg", {{L"Photos", L"Holiday"}, {L"Photos", L"Family"}}},
    {L"mountains.jpg", {{L"Photos", L"Holiday"}}},
    {L"birthday.jpg", {{L"Photos", L"Family"}}},
    {L"song.mp3", {{L"Music", L"Rock"}}},
    {L"ballad.mp3", {{L"Music", L"Rock"}, {L"Music", L"Calm"}}},
    {L"report.txt", {{L"Work", L"Projects", L"Reports"}}},
};

bool make_file(const std::wstring& path) {
    util::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file.valid() && ::WriteFile(file.get(), "sample", 6, &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring folder = util::with_trailing_backslash(argc > 1 ? argv[1] : L"C:\\Quibrix Samples");
    ::CreateDirectoryW(folder.c_str(), nullptr);

    wchar_t app_data[MAX_PATH] = L"";
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, app_data))) return 1;
    const std::wstring data = util::with_trailing_backslash(app_data) + L"Quibrix\\";
    ::CreateDirectoryW(data.c_str(), nullptr);

    // The database as Explorer's start-up prepares it, without the threads that only a host needs.
    explorer::build_folder_security();
    items::g_immediate_write = true;
    items::TagsHolder& db = items::tags_holder();
    db.set_data_folder(data);
    db.load_store();

    int failures = 0;
    for (const sample& s : samples) {
        const std::wstring path = folder + s.file;
        if (!make_file(path)) {
            std::fwprintf(stderr, L"cannot create %ls\n", path.c_str());
            ++failures;
            continue;
        }
        for (const std::vector<std::wstring>& chain : s.tags) {
            try {
                if (!db.set_tags({path}, items::make_chain(chain), items::tree_ptr())) ++failures;
            } catch (const items::store_error& error) {
                std::fwprintf(stderr, L"store error %d for %ls\n", error.code, path.c_str());
                ++failures;
            }
        }
    }
    std::wprintf(L"%ls: %d sample files tagged in %ls\n", failures ? L"incomplete" : L"done",
                 static_cast<int>(samples.size()), data.c_str());
    return failures ? 2 : 0;
}
