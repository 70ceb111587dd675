// A stand-in host process for the module: it loads Quibrix.dll as the shell, the registration
// tool or an unrelated program would, and reports what happened through its exit code and one
// line of output. The test names copies of it so that the path matches (or not) the host rule.
//
//   host <dll> load        load only; prints "started" when the start-up ran, else "quiet"
//   host <dll> factory     load, then two threads at once ask DllGetClassObject for the factory
//                          and create a folder with it; prints both DllGetClassObject results
//                          and "started" or "quiet"
//   host <dll> unload      load, ask for the factory (Explorer's start-up runs), free the
//                          module again; prints "pinned" when it stayed loaded (its threads
//                          still have code to run)
//   host <dll> register    load and call DllRegisterServer
//   host <dll> unregister  load and call DllUnregisterServer
//
// Exit codes: 0 done, 1 the module refused to load, 2 the call failed, 3 bad arguments.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// Start-up registers a message-only window of this class in its host for the shell's change
// notifications. Only the start-up does that, so it tells a started module apart. The window
// is made by a thread that the start-up starts.
bool start_up_ran() {
    for (int waited = 0; waited < 2000; waited += 20) {
        for (HWND window = ::FindWindowExW(HWND_MESSAGE, nullptr, L"QuibrixShellChanges", nullptr); window;
             window = ::FindWindowExW(HWND_MESSAGE, window, L"QuibrixShellChanges", nullptr)) {
            DWORD process = 0;
            ::GetWindowThreadProcessId(window, &process);
            if (process == ::GetCurrentProcessId()) return true;
        }
        ::Sleep(20);
    }
    return false;
}

typedef HRESULT(STDAPICALLTYPE* plain_export)();
typedef HRESULT(STDAPICALLTYPE* get_class_object)(REFCLSID, REFIID, void**);

template <typename Function>
Function find_export(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

struct folder_request {
    get_class_object get;
    HANDLE go;
    HRESULT got = E_UNEXPECTED, created = E_UNEXPECTED;
};

DWORD WINAPI ask_for_folder(void* parameter) {
    folder_request& request = *static_cast<folder_request*>(parameter);
    ::WaitForSingleObject(request.go, INFINITE);
    IClassFactory* factory = nullptr;
    request.got = request.get(IID_IPersistFile, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(request.got)) return 0;
    IShellFolder* folder = nullptr;
    request.created = factory->CreateInstance(nullptr, IID_IShellFolder, reinterpret_cast<void**>(&folder));
    if (SUCCEEDED(request.created)) folder->Release();
    factory->Release();
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 3;
    ::LoadLibraryW(L"shell32.dll");
    HMODULE module = ::LoadLibraryW(argv[1]);
    if (!module) {
        std::printf("refused %lu\n", ::GetLastError());
        return 1;
    }
    const std::wstring mode = argv[2];
    if (mode == L"load") {
        std::printf(start_up_ran() ? "started\n" : "quiet\n");
        return 0;
    }
    get_class_object get = find_export<get_class_object>(module, "DllGetClassObject");
    if (!get) return 2;
    if (mode == L"unload") {
        IClassFactory* factory = nullptr;
        if (FAILED(get(IID_IPersistFile, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) return 2;
        factory->Release();
        if (!start_up_ran()) return 2;
        ::FreeLibrary(module);
        HMODULE still = nullptr;
        const bool pinned = ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, argv[1], &still) && still == module;
        std::printf(pinned ? "pinned\n" : "unloaded\n");
        return pinned ? 0 : 2;
    }
    if (mode == L"register" || mode == L"unregister") {
        plain_export call = find_export<plain_export>(module, mode == L"register" ? "DllRegisterServer" : "DllUnregisterServer");
        const HRESULT hr = call ? call() : E_NOTIMPL;
        std::printf("0x%08lx\n", static_cast<unsigned long>(hr));
        return SUCCEEDED(hr) ? 0 : 2;
    }
    if (mode == L"factory") {
        HANDLE go = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        folder_request requests[2] = {{get, go}, {get, go}};
        HANDLE threads[2];
        for (int i = 0; i < 2; ++i) threads[i] = ::CreateThread(nullptr, 0, &ask_for_folder, &requests[i], 0, nullptr);
        ::SetEvent(go);
        ::WaitForMultipleObjects(2, threads, TRUE, INFINITE);
        std::printf("0x%08lx 0x%08lx %s\n", static_cast<unsigned long>(requests[0].got),
                    static_cast<unsigned long>(requests[1].got), start_up_ran() ? "started" : "quiet");
        return SUCCEEDED(requests[0].created) && SUCCEEDED(requests[1].created) ? 0 : 2;
    }
    return 3;
}
