// The folder's view in a real window: the system's default view over the folder, its
// callback, and the per-window view count that the database keeps.
#include "namespace_fixture.h"

#include "database/tags_holder.h"
#include "namespace/shell_view_cb.h"
#include "namespace/view_windows.h"

#include <commctrl.h>

#include <algorithm>
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

    HWND frame_ = nullptr;
};

HWND find_list(HWND view) {
    return ::FindWindowExW(view, nullptr, WC_LISTVIEWW, nullptr);
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
    FOLDERSETTINGS settings = {FVM_DETAILS, 0};
    RECT area = {0, 0, 600, 400};
    HWND view_window = nullptr;
    ASSERT_EQ(S_OK, view->CreateViewWindow(nullptr, &settings, &browser, &area, &view_window));
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
    FOLDERSETTINGS settings = {FVM_DETAILS, 0};
    RECT area = {0, 0, 600, 400};
    HWND view_window = nullptr;
    ASSERT_EQ(S_OK, view->CreateViewWindow(nullptr, &settings, &browser, &area, &view_window));
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
