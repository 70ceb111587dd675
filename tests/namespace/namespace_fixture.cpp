#include "namespace_fixture.h"

#include "database/tags_holder.h"
#include "namespace/view_windows.h"

#include <cstring>

std::ostream& operator<<(std::ostream& os, const entry& e) {
    std::string narrow(e.name.begin(), e.name.end());
    return os << "{" << e.kind << ", " << narrow << ", " << e.count << "}";
}

std::vector<entry> entries(const std::vector<listed>& level) {
    std::vector<entry> out;
    for (const listed& item : level) out.push_back({item.kind, item.name, item.count});
    return out;
}

std::vector<BYTE> make_item(std::uint16_t kind, const std::wstring& name, std::uint32_t file_id, std::uint32_t count,
                            const char* signature) {
    const std::uint16_t cb = static_cast<std::uint16_t>(16 + (name.size() + 1) * 2);
    std::vector<BYTE> bytes(cb + 2, 0);
    std::memcpy(&bytes[0], &cb, 2);
    std::memcpy(&bytes[2], signature, 4);
    std::memcpy(&bytes[6], &kind, 2);
    std::memcpy(&bytes[8], &file_id, 4);
    std::memcpy(&bytes[12], &count, 4);
    std::memcpy(&bytes[16], name.c_str(), name.size() * 2);
    return bytes;
}

std::vector<BYTE> foreign_item() {
    // Shaped like a junction item of My Computer: nothing of ours.
    std::vector<BYTE> bytes(20 + 2, 0);
    bytes[0] = 20;
    bytes[2] = 0x2E;
    for (int i = 4; i < 20; ++i) bytes[i] = static_cast<BYTE>(0x40 + i);
    return bytes;
}

namespace {

void write_file(const std::wstring& path) {
    util::unique_file f(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(f.valid());
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(f.get(), "data", 4, &written, nullptr));
}

void give(const std::vector<std::wstring>& paths, const std::vector<std::wstring>& chain) {
    ASSERT_TRUE(items::tags_holder().set_tags(paths, items::make_chain(chain), items::tree_ptr()));
}

}  // namespace

void NamespaceTest::SetUp() {
    com_ = SUCCEEDED(::OleInitialize(nullptr));
    const std::wstring data = temp_.path() + L"data\\";
    files_ = temp_.path() + L"files\\";
    ASSERT_TRUE(::CreateDirectoryW(data.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(files_.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(file(L"clips").c_str(), nullptr));
    for (const wchar_t* name : {L"song1.mp3", L"song2.mp3", L"both.mp3", L"gone.mp3", L"notes.txt"}) {
        write_file(file(name));
    }

    items::TagsHolder& db = items::tags_holder();
    db.set_view_listener(&ShellNamespace::view_windows());
    {
        // Each test starts from an empty database over its own data folder.
        util::lock_guard lock(items::database_lock());
        db.children.clear();
        db.contexts.clear();
        db.set_data_folder(data);
    }
    give({file(L"song1.mp3"), file(L"song2.mp3"), file(L"both.mp3"), file(L"gone.mp3")}, {L"Music", L"Genre", L"Rock"});
    give({file(L"both.mp3")}, {L"Music", L"Genre", L"Jazz"});
    give({file(L"song2.mp3")}, {L"Music", L"Mood", L"Calm"});
    items::tree_edit empty;
    empty.op = items::tree_edit::create;
    empty.node = {L"Music"};
    empty.kind = items::kind_scope;
    empty.new_name = L"Empty";
    ASSERT_TRUE(db.apply_edits({empty}));
    give({file(L"clips"), file(L"notes.txt")}, {L"Video", L"Clips"});
    give({file(L"song1.mp3")}, {L"Long", long_name()});
    // Their identities are read in the background, whose short sections a menu (which only
    // tries the lock) could meet: the tests start once it is done.
    ASSERT_TRUE(db.wait_relinked(30000));
    ASSERT_TRUE(::DeleteFileW(file(L"gone.mp3").c_str()));
}

void NamespaceTest::TearDown() {
    {
        util::lock_guard lock(items::database_lock());
        items::tags_holder().children.clear();
        items::tags_holder().contexts.clear();
    }
    if (com_) ::OleUninitialize();
}

util::com_ptr<IShellFolder2> NamespaceTest::top() {
    util::com_ptr<ShellNamespace::CShellFolder> folder =
        util::com_ptr<ShellNamespace::CShellFolder>::attach(ShellNamespace::CShellFolder::create());
    util::com_ptr<IShellFolder2> result;
    if (!folder) return result;
    const std::vector<BYTE> junction = foreign_item();
    EXPECT_EQ(S_OK, folder->Initialize(reinterpret_cast<LPCITEMIDLIST>(junction.data())));
    EXPECT_EQ(S_OK, folder->QueryInterface(IID_IShellFolder2, result.put_void()));
    return result;
}

util::com_ptr<IShellFolder2> NamespaceTest::bind(IShellFolder2* folder, LPCITEMIDLIST child) {
    util::com_ptr<IShellFolder2> result;
    EXPECT_EQ(S_OK, folder->BindToObject(child, nullptr, IID_IShellFolder2, result.put_void()));
    return result;
}

std::vector<listed> NamespaceTest::list(IShellFolder2* folder, SHCONTF flags) {
    std::vector<listed> out;
    util::com_ptr<IEnumIDList> items;
    EXPECT_EQ(S_OK, folder->EnumObjects(nullptr, flags, items.put()));
    if (!items) return out;
    for (;;) {
        LPITEMIDLIST pidl = nullptr;
        ULONG fetched = 0;
        if (items->Next(1, &pidl, &fetched) != S_OK) break;
        EXPECT_EQ(1u, fetched);
        std::uint16_t cb;
        std::memcpy(&cb, pidl, 2);
        listed item;
        item.bytes.assign(reinterpret_cast<BYTE*>(pidl), reinterpret_cast<BYTE*>(pidl) + cb + 2);
        std::memcpy(&item.kind, item.bytes.data() + 6, 2);
        std::memcpy(&item.file_id, item.bytes.data() + 8, 4);
        std::memcpy(&item.count, item.bytes.data() + 12, 4);
        item.name.assign(reinterpret_cast<const wchar_t*>(item.bytes.data() + 16));
        out.push_back(item);
        ::CoTaskMemFree(pidl);
    }
    return out;
}

listed NamespaceTest::find(IShellFolder2* folder, const std::wstring& name) {
    for (const listed& item : list(folder)) {
        if (item.name == name) return item;
    }
    ADD_FAILURE() << "no item named " << std::string(name.begin(), name.end());
    return listed();
}

util::com_ptr<IShellFolder2> NamespaceTest::open(const std::vector<std::wstring>& names) {
    util::com_ptr<IShellFolder2> folder = top();
    for (const std::wstring& name : names) {
        if (!folder) break;
        const listed item = find(folder.get(), name);
        if (item.bytes.empty()) return util::com_ptr<IShellFolder2>();
        folder = bind(folder.get(), item.pidl());
    }
    return folder;
}
