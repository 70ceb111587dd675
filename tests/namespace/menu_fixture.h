// A frame window that answers WM_USER + 7 with a browser recording every BrowseObject, and the
// helpers that drive a menu as the view does.
#pragma once

#include "namespace_fixture.h"

#include "database/shell_item.h"

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

// One line of a built menu: its id and text; a separator is id 0 with the text "-".
struct menu_line {
    UINT id;
    std::wstring text;
    bool operator==(const menu_line& o) const { return id == o.id && text == o.text; }
};
std::ostream& operator<<(std::ostream& os, const menu_line& line);
inline menu_line separator_line() { return menu_line{0, L"-"}; }

class RecordingBrowser final : public IShellBrowser {
public:
    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    IFACEMETHODIMP_(ULONG) AddRef() override { return 2; }
    IFACEMETHODIMP_(ULONG) Release() override { return 1; }
    IFACEMETHODIMP GetWindow(HWND* window) override;
    IFACEMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    IFACEMETHODIMP InsertMenusSB(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
    IFACEMETHODIMP SetMenuSB(HMENU, HOLEMENU, HWND) override { return E_NOTIMPL; }
    IFACEMETHODIMP RemoveMenusSB(HMENU) override { return E_NOTIMPL; }
    IFACEMETHODIMP SetStatusTextSB(LPCWSTR) override { return E_NOTIMPL; }
    IFACEMETHODIMP EnableModelessSB(BOOL) override { return E_NOTIMPL; }
    IFACEMETHODIMP TranslateAcceleratorSB(MSG*, WORD) override { return E_NOTIMPL; }
    IFACEMETHODIMP BrowseObject(LPCITEMIDLIST pidl, UINT flags) override;
    IFACEMETHODIMP GetViewStateStream(DWORD, IStream** stream) override;
    IFACEMETHODIMP GetControlWindow(UINT, HWND* window) override;
    IFACEMETHODIMP SendControlMsg(UINT, UINT, WPARAM, LPARAM, LRESULT* result) override;
    IFACEMETHODIMP QueryActiveShellView(IShellView** view) override;
    IFACEMETHODIMP OnViewWindowActive(IShellView*) override { return S_OK; }
    IFACEMETHODIMP SetToolbarItems(LPTBBUTTONSB, UINT, UINT) override { return E_NOTIMPL; }

    void clear();
    // The names of the own items of browsed list i, from the top.
    std::vector<std::wstring> names(std::size_t i) const;
    items::shell_item_fields last_item(std::size_t i) const;
    // The last item of browsed list i alone, as a one-item list.
    std::vector<BYTE> last_only(std::size_t i) const;

    HWND window = nullptr;
    IShellView* active = nullptr;  // what QueryActiveShellView answers, when set
    std::vector<std::vector<BYTE> > browsed;  // whole lists with their terminators
    std::vector<UINT> flags;
};

// For its lifetime, opening an .mp3 file starts open_recorder, which appends the file's path to
// a log: the files that the menu's commands open, as a program registered for them is started.
class OpenedFiles {
public:
    explicit OpenedFiles(const std::wstring& log);
    ~OpenedFiles();
    OpenedFiles(const OpenedFiles&) = delete;
    OpenedFiles& operator=(const OpenedFiles&) = delete;
    // The paths of the opened files, sorted, once `count` were logged or 10 s have passed, and
    // a moment more, so that an extra opening is seen too.
    std::vector<std::wstring> paths(std::size_t count) const;

private:
    std::vector<std::wstring> read() const;

    std::wstring log_;
};

class MenuTest : public NamespaceTest {
protected:
    static constexpr UINT first = 100;

    void SetUp() override;
    void TearDown() override;

    // The "Filtered Items" entry of the level named by `level` (its name carries the tags).
    util::com_ptr<IShellFolder2> files_of(const std::vector<std::wstring>& level);
    // The folder's menu for the items of its listing named `names`, for the frame.
    util::com_ptr<IContextMenu> menu_of(IShellFolder2* folder, const std::vector<std::wstring>& names);
    // QueryContextMenu on a new popup menu from position 0 and id `first`, read back; its
    // result is kept in `queried_`, the menu's default id in `default_id_` (-1 for none).
    std::vector<menu_line> lines_of(IContextMenu* menu, UINT flags);
    HRESULT invoke(IContextMenu* menu, int offset);
    // InvokeCommand with a verb, as ANSI lpVerb or, when `wide`, as the lpVerbW of a
    // CMINVOKECOMMANDINFOEX marked CMIC_MASK_UNICODE (its lpVerb then names nothing).
    HRESULT invoke_verb(IContextMenu* menu, const char* verb, bool wide);

    RecordingBrowser browser_;
    HWND frame_ = nullptr;
    HRESULT queried_ = E_FAIL;
    UINT default_id_ = static_cast<UINT>(-1);
};
