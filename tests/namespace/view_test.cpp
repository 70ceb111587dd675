// The folder's view in a real window: the system's default view over the folder, its
// callback, and the per-window view count that the database keeps.
#include "namespace_fixture.h"

#include "database/tags_holder.h"
#include "namespace/shell_view_cb.h"
#include "namespace/view_windows.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace {

// The views of `owner` that the database counts; -1 when it keeps no state for the window.
int views_of(HWND owner) {
    util::lock_guard lock(items::database_lock());
    for (const boost::shared_ptr<items::filtered_item>& context : items::tags_holder().contexts) {
        if (context->view == ShellNamespace::view_key_of(owner)) return context->views;
    }
    return -1;
}

// Just enough of a browser for the default view to create its window in ours.
class FakeBrowser final : public IShellBrowser {
public:
    explicit FakeBrowser(HWND window) : window_(window) {}

    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IOleWindow || riid == IID_IShellBrowser) {
            *ppv = static_cast<IShellBrowser*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    IFACEMETHODIMP_(ULONG) AddRef() override { return ::InterlockedIncrement(&refs_); }
    IFACEMETHODIMP_(ULONG) Release() override { return ::InterlockedDecrement(&refs_); }
    IFACEMETHODIMP GetWindow(HWND* window) override {
        *window = window_;
        return S_OK;
    }
    IFACEMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    IFACEMETHODIMP InsertMenusSB(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
    IFACEMETHODIMP SetMenuSB(HMENU, HOLEMENU, HWND) override { return E_NOTIMPL; }
    IFACEMETHODIMP RemoveMenusSB(HMENU) override { return E_NOTIMPL; }
    IFACEMETHODIMP SetStatusTextSB(LPCWSTR) override { return E_NOTIMPL; }
    IFACEMETHODIMP EnableModelessSB(BOOL) override { return E_NOTIMPL; }
    IFACEMETHODIMP TranslateAcceleratorSB(MSG*, WORD) override { return E_NOTIMPL; }
    IFACEMETHODIMP BrowseObject(LPCITEMIDLIST, UINT) override { return E_NOTIMPL; }
    IFACEMETHODIMP GetViewStateStream(DWORD, IStream** stream) override {
        *stream = nullptr;
        return E_NOTIMPL;
    }
    IFACEMETHODIMP GetControlWindow(UINT, HWND* window) override {
        *window = nullptr;
        return E_NOTIMPL;
    }
    IFACEMETHODIMP SendControlMsg(UINT, UINT, WPARAM, LPARAM, LRESULT* result) override {
        if (result) *result = 0;
        return S_OK;
    }
    IFACEMETHODIMP QueryActiveShellView(IShellView** view) override {
        *view = nullptr;
        return E_NOTIMPL;
    }
    IFACEMETHODIMP OnViewWindowActive(IShellView*) override { return S_OK; }
    IFACEMETHODIMP SetToolbarItems(LPTBBUTTONSB, UINT, UINT) override { return E_NOTIMPL; }

    LONG refs() const { return refs_; }

private:
    volatile LONG refs_ = 1;
    HWND window_;
};

class ViewTest : public NamespaceTest {
protected:
    void SetUp() override {
        NamespaceTest::SetUp();
        WNDCLASSW window_class = {};
        window_class.lpfnWndProc = ::DefWindowProcW;
        window_class.hInstance = ::GetModuleHandleW(nullptr);
        window_class.lpszClassName = L"QuibrixViewTestFrame";
        ::RegisterClassW(&window_class);
        frame_ = ::CreateWindowExW(0, L"QuibrixViewTestFrame", L"Tags", WS_OVERLAPPEDWINDOW, 0, 0, 640,
                                   480, nullptr, nullptr, window_class.hInstance, nullptr);
        ASSERT_NE(nullptr, frame_) << ::GetLastError();
    }
    void TearDown() override {
        if (frame_) ::DestroyWindow(frame_);
        NamespaceTest::TearDown();
    }
    static void pump() {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }

    // The view's window in details mode inside the frame, as the browser has it made; null
    // (and a failure) when it is not made.
    HWND show(IShellView* view, IShellBrowser* browser) {
        FOLDERSETTINGS settings = {FVM_DETAILS, 0};
        RECT area = {0, 0, 600, 400};
        HWND view_window = nullptr;
        EXPECT_EQ(S_OK, view->CreateViewWindow(nullptr, &settings, browser, &area, &view_window));
        return view_window;
    }

    HWND frame_ = nullptr;
};

HWND find_list(HWND view) {
    return ::FindWindowExW(view, nullptr, WC_LISTVIEWW, nullptr);
}

util::unique_pidl folder_list(IShellFolder2* folder) {
    util::com_ptr<IPersistFolder2> persist;
    LPITEMIDLIST list = nullptr;
    if (SUCCEEDED(folder->QueryInterface(IID_IPersistFolder2, persist.put_void()))) persist->GetCurFolder(&list);
    return util::unique_pidl(list);
}

bool same_list(LPCITEMIDLIST a, LPCITEMIDLIST b) {
    return a && b && ::ILGetSize(a) == ::ILGetSize(b) && std::memcmp(a, b, ::ILGetSize(a)) == 0;
}

// A window of the test's thread registered for the shell's change notifications, as
// Explorer's views and navigation pane register; it keeps what it receives.
class ChangeListener {
public:
    ChangeListener() {
        WNDCLASSW window_class = {};
        window_class.lpfnWndProc = window_proc;
        window_class.hInstance = ::GetModuleHandleW(nullptr);
        window_class.lpszClassName = L"QuibrixChangeListener";
        ::RegisterClassW(&window_class);
        window_ = ::CreateWindowExW(0, window_class.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    window_class.hInstance, nullptr);
        ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~ChangeListener() {
        for (ULONG registration : registrations_) ::SHChangeNotifyDeregister(registration);
        ::DestroyWindow(window_);
    }
    void watch(LPCITEMIDLIST level, bool below) {
        SHChangeNotifyEntry entry = {level, below ? TRUE : FALSE};
        const ULONG registration = ::SHChangeNotifyRegister(window_, SHCNRF_ShellLevel | SHCNRF_NewDelivery,
                                                            SHCNE_ALLEVENTS, message, 1, &entry);
        ASSERT_NE(0u, registration);
        registrations_.push_back(registration);
    }
    // Runs the thread's messages until `event` for `list` arrives (taken from what was
    // received); false after 5 seconds without it.
    bool heard(LONG event, LPCITEMIDLIST list) {
        for (DWORD start = ::GetTickCount(); ::GetTickCount() - start < 5000;) {
            MSG msg;
            while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
            for (std::size_t i = 0; i < received_.size(); ++i) {
                if (received_[i].first == event &&
                    same_list(reinterpret_cast<LPCITEMIDLIST>(received_[i].second.data()), list)) {
                    received_.erase(received_.begin() + i);
                    return true;
                }
            }
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
        return false;
    }

private:
    static const UINT message = WM_APP + 5;
    static LRESULT CALLBACK window_proc(HWND window, UINT msg, WPARAM wparam, LPARAM lparam) {
        ChangeListener* self = reinterpret_cast<ChangeListener*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        if (msg != message || !self) return ::DefWindowProcW(window, msg, wparam, lparam);
        PIDLIST_ABSOLUTE* lists = nullptr;
        LONG event = 0;
        HANDLE lock = ::SHChangeNotification_Lock(reinterpret_cast<HANDLE>(wparam), static_cast<DWORD>(lparam),
                                                  &lists, &event);
        if (lock) {
            const BYTE* first = reinterpret_cast<const BYTE*>(lists[0]);
            self->received_.emplace_back(event, std::vector<BYTE>(first, first + (first ? ::ILGetSize(lists[0]) : 0)));
            ::SHChangeNotification_Unlock(lock);
        }
        return 0;
    }

    HWND window_ = nullptr;
    std::vector<ULONG> registrations_;
    std::vector<std::pair<LONG, std::vector<BYTE> > > received_;
};

// Tags as the watcher or the tag dialog does, on a thread of its own.
void tag_elsewhere(const std::wstring& path, const std::vector<std::wstring>& chain, bool remove) {
    std::thread([&] {
        const items::tree_ptr tags = items::make_chain(chain);
        ASSERT_TRUE(items::tags_holder().set_tags({path}, remove ? items::tree_ptr() : tags,
                                                  remove ? tags : items::tree_ptr()));
    }).join();
}

}  // namespace

TEST_F(ViewTest, TheViewShowsTheLevelAndItsDestructionLowersTheViewCount) {
    util::com_ptr<IShellFolder2> music = open({L"Music"});
    EXPECT_EQ(-1, views_of(frame_));
    util::com_ptr<IShellView> view;
    ASSERT_EQ(S_OK, music->CreateViewObject(frame_, IID_IShellView, view.put_void()));
    ASSERT_TRUE(view);
    EXPECT_EQ(1, views_of(frame_));

    FakeBrowser browser(frame_);
    HWND view_window = show(view.get(), &browser);
    ASSERT_TRUE(view_window);
    ASSERT_TRUE(::IsWindow(view_window));
    EXPECT_TRUE(::IsChild(frame_, view_window));
    pump();
    // The view listed the level through the folder, with the counts in the second column.
    HWND list = find_list(view_window);
    ASSERT_NE(nullptr, list);
    ASSERT_EQ(4, ::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    std::vector<std::wstring> counts;
    for (int row = 0; row < 4; ++row) {
        wchar_t text[64] = L"";
        LVITEMW item = {};
        item.iSubItem = 1;
        item.pszText = text;
        item.cchTextMax = 64;
        ::SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
        counts.push_back(text);
    }
    std::sort(counts.begin(), counts.end());
    EXPECT_EQ((std::vector<std::wstring>{L"", L"1", L"4", L"4"}), counts);

    // A second view of the same window counts too.
    util::com_ptr<IShellView> second;
    ASSERT_EQ(S_OK, music->CreateViewObject(frame_, IID_IShellView, second.put_void()));
    EXPECT_EQ(2, views_of(frame_));
    second.reset();

    EXPECT_EQ(S_OK, view->DestroyViewWindow());
    pump();
    EXPECT_FALSE(::IsWindow(view_window));
    // Wine 8's default view drops the callback (its SetCallback is a stub) and never calls
    // it; Windows' view sends message 16 while its window is destroyed. Send it as Windows
    // does, to the callback that the folder gave the view.
    util::com_ptr<ShellNamespace::CShellViewCB> callback(
        static_cast<ShellNamespace::CShellFolder*>(music.get())->view_callback());
    ASSERT_TRUE(callback);
    EXPECT_EQ(frame_, callback->owner());
    EXPECT_EQ(E_NOTIMPL, callback->MessageSFVCB(16, 0, 0));
    EXPECT_EQ(1, views_of(frame_));
    EXPECT_EQ(E_NOTIMPL, callback->MessageSFVCB(16, 0, 0));
    // The last view of the window gone: the database drops the window's state.
    EXPECT_EQ(-1, views_of(frame_));
    view.reset();
    pump();

    // The callback goes with its view and folder: with the views gone, the folder's reference
    // and this test's are all that hold it, and the folder's goes with the folder.
    EXPECT_EQ(2u, callback->references());
    music.reset();
    EXPECT_EQ(1u, callback->references());
}

TEST_F(ViewTest, OnlyAShellViewIsMade) {
    util::com_ptr<IShellFolder2> root = top();
    for (const IID& iid : {IID_IDropTarget, IID_IShellFolder}) {
        void* out = &root;
        EXPECT_EQ(E_NOINTERFACE, root->CreateViewObject(frame_, iid, &out));
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(-1, views_of(frame_));
}

TEST_F(ViewTest, TheCallbackCountsViewsDownAndGoesWithItsLastReference) {
    ShellNamespace::CShellViewCB* made = ShellNamespace::CShellViewCB::create(frame_);
    ASSERT_NE(nullptr, made);
    EXPECT_EQ(1u, made->references()) << "the creator holds the first reference";
    IShellFolderViewCB* as_callback = nullptr;
    ASSERT_EQ(S_OK, made->QueryInterface(IID_IShellFolderViewCB, reinterpret_cast<void**>(&as_callback)));
    EXPECT_EQ(static_cast<IShellFolderViewCB*>(made), as_callback);
    EXPECT_EQ(1u, as_callback->Release());
    void* other = &other;
    EXPECT_EQ(E_NOINTERFACE, made->QueryInterface(IID_IShellView, &other));
    EXPECT_EQ(nullptr, other);

    items::tags_holder().view_opened(ShellNamespace::view_key_of(frame_));
    items::tags_holder().view_opened(ShellNamespace::view_key_of(frame_));
    ASSERT_EQ(2, views_of(frame_));
    // Every message is left to the view's defaults.
    EXPECT_EQ(E_NOTIMPL, made->MessageSFVCB(15, 0, 0));
    EXPECT_EQ(2, views_of(frame_));
    EXPECT_EQ(E_NOTIMPL, made->MessageSFVCB(16, 0, 0));
    EXPECT_EQ(1, views_of(frame_));
    // The last reference frees it (a module-owned object would rest at 1 and answer 0 forever).
    EXPECT_EQ(2u, made->AddRef());
    EXPECT_EQ(1u, made->Release());
    EXPECT_EQ(0u, made->Release());
}

TEST_F(ViewTest, ATagAddedUnderTheShownRootRefreshesTheViewThroughItsOwnCommand) {
    util::com_ptr<IShellFolder2> music = open({L"Music"});
    util::com_ptr<IShellView> view;
    ASSERT_EQ(S_OK, music->CreateViewObject(frame_, IID_IShellView, view.put_void()));
    FakeBrowser browser(frame_);
    HWND view_window = show(view.get(), &browser);
    ASSERT_TRUE(view_window);
    pump();
    HWND list = find_list(view_window);
    ASSERT_EQ(4, ::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));

    // Another thread tags, as the watcher or the tag dialog does; the view's thread only has
    // to run its messages to show the new tag.
    std::thread([this] {
        ASSERT_TRUE(items::tags_holder().set_tags({file(L"notes.txt")}, items::make_chain({L"Music", L"Notes"}),
                                                  items::tree_ptr()));
    }).join();
    pump();
    EXPECT_EQ(5, ::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    EXPECT_EQ(S_OK, view->DestroyViewWindow());
    pump();
}

TEST_F(ViewTest, TheShellHearsOfTagsThatComeAndGoWithTheListsOfTheLevelsTheyChange) {
    util::com_ptr<IShellFolder2> root = top();
    const util::unique_pidl top_list = folder_list(root.get());
    ChangeListener listener;
    listener.watch(top_list.get(), true);

    // A new root tag is made at the top, as its listing names it.
    tag_elsewhere(file(L"song1.mp3"), {L"Books", L"Genre", L"Fiction"}, false);
    const util::unique_pidl books(::ILCombine(top_list.get(), find(root.get(), L"Books").pidl()));
    EXPECT_TRUE(listener.heard(SHCNE_MKDIR, books.get()));

    util::com_ptr<IShellFolder2> genre = open({L"Books", L"Genre"});
    util::com_ptr<IShellView> view;
    ASSERT_EQ(S_OK, genre->CreateViewObject(frame_, IID_IShellView, view.put_void()));
    FakeBrowser browser(frame_);
    HWND view_window = show(view.get(), &browser);
    ASSERT_TRUE(view_window);
    pump();
    const util::unique_pidl genre_list = folder_list(genre.get());
    listener.watch(genre_list.get(), false);

    // A tag that comes and one that goes: the level the view shows, and the root's.
    tag_elsewhere(file(L"song2.mp3"), {L"Books", L"Genre", L"Poetry"}, false);
    EXPECT_TRUE(listener.heard(SHCNE_UPDATEDIR, genre_list.get()));
    EXPECT_TRUE(listener.heard(SHCNE_UPDATEDIR, books.get()));
    EXPECT_EQ(3, ::SendMessageW(find_list(view_window), LVM_GETITEMCOUNT, 0, 0));
    tag_elsewhere(file(L"song2.mp3"), {L"Books", L"Genre", L"Poetry"}, true);
    EXPECT_TRUE(listener.heard(SHCNE_UPDATEDIR, genre_list.get()));
    EXPECT_TRUE(listener.heard(SHCNE_UPDATEDIR, books.get()));
    EXPECT_EQ(S_OK, view->DestroyViewWindow());
    pump();

    // The root's last file untagged: the root goes.
    tag_elsewhere(file(L"song1.mp3"), {L"Books", L"Genre", L"Fiction"}, true);
    EXPECT_TRUE(listener.heard(SHCNE_RMDIR, books.get()));
}

TEST(ViewWindows, APathThatCannotBeFollowedClosesNoWindow) {
    // The frame of a view can be a popup owned by another program's window; the view goes up
    // a level in its frame instead (see the folder commands' tests), and nothing is closed.
    HWND other = ::CreateWindowExW(0, L"STATIC", L"other program", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                   nullptr, nullptr, nullptr);
    HWND frame = ::CreateWindowExW(0, L"STATIC", L"frame", WS_POPUP, 0, 0, 100, 100, other, nullptr, nullptr, nullptr);
    HWND view = ::CreateWindowExW(0, L"STATIC", L"view", WS_CHILD, 0, 0, 10, 10, frame, nullptr, nullptr, nullptr);
    ASSERT_TRUE(other && frame && view);
    ShellNamespace::view_windows().view_path_lost(ShellNamespace::view_key_of(view));
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    EXPECT_TRUE(::IsWindow(frame));
    EXPECT_TRUE(::IsWindow(other));
    EXPECT_FALSE(ShellNamespace::view_windows().view_gone(ShellNamespace::view_key_of(view)));
    ::DestroyWindow(other);
    EXPECT_TRUE(ShellNamespace::view_windows().view_gone(ShellNamespace::view_key_of(view)));
}
