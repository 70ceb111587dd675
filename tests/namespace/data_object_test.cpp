// The data object of file items: the DROPFILES bytes of CF_HDROP, its stream variant, its one
// format, and "Copy" putting the real files on the real clipboard for another program.
#include "menu_fixture.h"

#include "namespace/data_object.h"
#include "namespace/stream.h"

#include <cstdio>
#include <cstring>

namespace {

std::wstring exe_folder() {
    wchar_t path[MAX_PATH] = L"";
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.rfind(L'\\') + 1);
}

// Runs the clipboard reader, a second process, and returns the lines it printed.
std::vector<std::wstring> files_on_clipboard_seen_by_another_process() {
    std::vector<std::wstring> lines;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, &inherit, 0)) return lines;
    ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION process = {};
    std::wstring command = L"\"" + exe_folder() + L"clipboard_reader.exe\"";
    const BOOL started = ::CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                          &process);
    ::CloseHandle(write_end);
    std::string output;
    if (started) {
        char buffer[4096];
        DWORD got = 0;
        while (::ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got) output.append(buffer, got);
        ::WaitForSingleObject(process.hProcess, 10000);
        ::CloseHandle(process.hProcess);
        ::CloseHandle(process.hThread);
    }
    ::CloseHandle(read_end);
    std::string::size_type start = 0;
    while (start < output.size()) {
        std::string::size_type end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        std::string line = output.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        wchar_t wide[1024] = L"";
        ::MultiByteToWideChar(CP_UTF8, 0, line.c_str(), -1, wide, 1024);
        if (!line.empty()) lines.push_back(wide);
        start = end + 1;
    }
    return lines;
}

class DataObjectTest : public MenuTest {
protected:
    util::com_ptr<IDataObject> data_of(const std::vector<std::wstring>& names) {
        util::com_ptr<IShellFolder2> folder = files_of({L"Music", L"Genre", L"Rock"});
        std::vector<listed> chosen;
        for (const std::wstring& name : names) chosen.push_back(find(folder.get(), name));
        std::vector<LPCITEMIDLIST> items;
        for (const listed& item : chosen) items.push_back(item.pidl());
        util::com_ptr<IDataObject> data;
        EXPECT_EQ(S_OK, folder->GetUIObjectOf(frame_, static_cast<UINT>(items.size()), items.data(), IID_IDataObject,
                                              nullptr, data.put_void()));
        return data;
    }
};

}  // namespace

TEST_F(DataObjectTest, GetDataGivesDropFilesWithWideRealPaths) {
    util::com_ptr<IDataObject> data = data_of({L"song1.mp3", L"both.mp3"});
    ASSERT_TRUE(data);
    FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    EXPECT_EQ(S_OK, data->QueryGetData(&format));
    STGMEDIUM medium = {};
    ASSERT_EQ(S_OK, data->GetData(&format, &medium));
    ASSERT_EQ(DWORD(TYMED_HGLOBAL), medium.tymed);

    std::vector<BYTE> expected(20, 0);
    expected[0] = 20;  // pFiles
    expected[16] = 1;  // fWide
    for (const std::wstring& path : {file(L"song1.mp3"), file(L"both.mp3")}) {
        const BYTE* bytes = reinterpret_cast<const BYTE*>(path.c_str());
        expected.insert(expected.end(), bytes, bytes + (path.size() + 1) * 2);
    }
    expected.push_back(0);
    expected.push_back(0);
    const BYTE* block = static_cast<const BYTE*>(::GlobalLock(medium.hGlobal));
    ASSERT_TRUE(block);
    ASSERT_GE(::GlobalSize(medium.hGlobal), expected.size());
    EXPECT_EQ(expected, std::vector<BYTE>(block, block + expected.size()));
    ::GlobalUnlock(medium.hGlobal);
    ::ReleaseStgMedium(&medium);

    // The stream variant: the fixed image-list header from the second read on.
    FORMATETC as_stream = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_ISTREAM};
    ASSERT_EQ(S_OK, data->GetData(&as_stream, &medium));
    ASSERT_EQ(DWORD(TYMED_ISTREAM), medium.tymed);
    BYTE first[28];
    BYTE later[28];
    ULONG got = 0;
    EXPECT_EQ(S_OK, medium.pstm->Read(first, sizeof first, &got));
    EXPECT_EQ(28u, got);
    EXPECT_EQ(S_OK, medium.pstm->Read(later, sizeof later, &got));
    EXPECT_EQ(0, std::memcmp(later, "IL\x00\x06\x01\x00\x02\x00\x04\x00\x4A\x00\x40\x00\xFF\xFF\xFF\xFF\x21\x01", 20));

    FORMATETC text = {CF_UNICODETEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    EXPECT_EQ(DV_E_FORMATETC, data->QueryGetData(&text));
    EXPECT_EQ(DV_E_FORMATETC, data->GetData(&text, &medium));
}

TEST_F(DataObjectTest, OneFormatIsEnumeratedEachTimeAndTagsGiveNoDataObject) {
    util::com_ptr<IDataObject> data = data_of({L"song1.mp3"});
    ASSERT_TRUE(data);
    for (int round = 0; round < 2; ++round) {
        util::com_ptr<IEnumFORMATETC> formats;
        ASSERT_EQ(S_OK, data->EnumFormatEtc(DATADIR_GET, formats.put()));
        FORMATETC format = {};
        ULONG fetched = 0;
        EXPECT_EQ(S_OK, formats->Next(1, &format, &fetched));
        EXPECT_EQ(1u, fetched);
        EXPECT_EQ(CLIPFORMAT(CF_HDROP), format.cfFormat);
        EXPECT_EQ(DWORD(TYMED_HGLOBAL), format.tymed);
        EXPECT_EQ(S_FALSE, formats->Next(1, &format, &fetched));
    }

    util::com_ptr<IShellFolder2> genre = open({L"Music", L"Genre"});
    const listed rock = find(genre.get(), L"Rock");
    LPCITEMIDLIST items[] = {rock.pidl()};
    IDataObject* none = reinterpret_cast<IDataObject*>(1);
    EXPECT_EQ(E_NOINTERFACE, genre->GetUIObjectOf(frame_, 1, items, IID_IDataObject, nullptr,
                                                  reinterpret_cast<void**>(&none)));
    EXPECT_EQ(nullptr, none);
}

TEST_F(DataObjectTest, CopyPutsTheRealFilesOnTheClipboardForAnotherProcess) {
    util::com_ptr<IShellFolder2> folder = files_of({L"Music", L"Genre", L"Rock"});
    util::com_ptr<IContextMenu> menu = menu_of(folder.get(), {L"song2.mp3", L"both.mp3"});
    ASSERT_EQ(L"Copy", lines_of(menu.get(), CMF_NORMAL).at(5).text);
    ASSERT_EQ(S_OK, invoke(menu.get(), 3));
    EXPECT_EQ(std::vector<std::wstring>({file(L"song2.mp3"), file(L"both.mp3")}),
              files_on_clipboard_seen_by_another_process());
}
