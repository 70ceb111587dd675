// Drives the real Manage Tags dialog by window messages, over a data folder of its own, and
// answers the modal windows (message boxes, popup menus) that it opens from a second thread.
// The dialog runs on a thread of its own: messages sent to it are handled before SendMessage
// returns, and settle() waits for the ones it posts to itself.
#pragma once

#include "shell/manage_tags_dialog.h"
#include "store_fixture.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

extern const wchar_t kNothingChosenText[];
extern const wchar_t kNameUsedText[];

class DialogTest : public ::testing::Test {
protected:
    DialogTest();
    ~DialogTest() override;

    // A real (empty) file in a folder of its own.
    std::wstring file(const std::wstring& name);
    void give(const std::vector<std::wstring>& paths, const std::vector<std::wstring>& chains);
    // The tags of `path` as "Root/Scope/Tag" chains, sorted.
    std::vector<std::wstring> tags_of(const std::wstring& path);
    // The same, read by a new database object from the disk.
    std::vector<std::wstring> tags_on_disk(const std::wstring& path);
    // Every file below the data folder with its bytes, for "nothing changed" checks.
    std::vector<std::pair<std::wstring, std::vector<unsigned char> > > store_snapshot();
    std::wstring data(const std::wstring& relative) const { return data_.path() + relative; }

    void open(const std::vector<std::wstring>& paths,
              const ManageTagsDialog::Callback& callback = ManageTagsDialog::Callback());
    HWND dialog() const { return ManageTagsDialog::instance().window(); }
    DWORD dialog_thread() const { return ::GetWindowThreadProcessId(dialog(), nullptr); }
    HWND tree() const;
    std::wstring title() const;
    // The row at "Root/Scope/Tag" (names as shown, new-item rows included); null when missing.
    HTREEITEM row(const std::wstring& path) const;
    LPARAM kind(const std::wstring& path) const;
    // Every row as its path, chosen ones followed by " *" and partly chosen ones by " ~", in
    // tree order.
    std::vector<std::wstring> rows() const;
    std::wstring tooltip_text() const;
    // The tooltip window over the tree and its text (null and empty when there is none).
    std::pair<HWND, std::wstring> tooltip() const;

    void click(const std::wstring& path);
    void double_click(const std::wstring& path);
    // Types into the in-place edit box and presses Enter; the box must be showing.
    void type(const std::wstring& text);
    void enter_name(const std::wstring& row_path, const std::wstring& text) {
        click(row_path);
        type(text);
    }
    void press(int id);
    // Right-clicks the row, chooses the menu entry named by `entry` ("MoveTo>Docs><Place Here>")
    // and returns the whole menu as "path=id" lines.
    std::vector<std::wstring> choose_from_menu(const std::wstring& row_path, const std::wstring& entry);
    // Runs `action`, pressing OK on every message box it shows; returns their texts.
    template <typename Action>
    std::vector<std::wstring> answering_boxes(Action action);

    // Returns once the dialog thread has handled all that was posted to it.
    void settle();

    TempFolder data_;
    TempFolder files_;
    std::vector<std::pair<unsigned, HWND> > confirmations;
    bool confirm_answer = true;
    // Runs on the dialog thread while the confirmation is up.
    std::function<void()> while_confirming;
    std::vector<bool> watcher_changes;
    bool watcher_on = false;

private:
    POINT center_of(const std::wstring& path) const;
    class BoxAnswerer* start_boxes();
    std::vector<std::wstring> finish_boxes(class BoxAnswerer* answerer);
};

template <typename Action>
std::vector<std::wstring> DialogTest::answering_boxes(Action action) {
    BoxAnswerer* answerer = start_boxes();
    action();
    settle();
    return finish_boxes(answerer);
}
