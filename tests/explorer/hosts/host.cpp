// A stand-in host process for the module: it loads Quibrix.dll as the shell, the registration
// tool or an unrelated program would, and reports what happened through its exit code and one
// line of output. The test names copies of it so that the path matches (or not) the host rule.
//
//   host <dll> load        load only; prints "started" when the start-up ran, else "quiet"
//   host <dll> unload      load, let the start-up run, free the module again; prints "pinned"
//                          when it stayed loaded (its threads still have code to run)
//   host <dll> register    load and call DllRegisterServer
//   host <dll> unregister  load and call DllUnregisterServer
//   host <dll> factory     load and create a folder through DllGetClassObject
//
// Exit codes: 0 done, 1 the module refused to load, 2 the call failed, 3 bad arguments.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// Start-up hooks the shell's change notification in its host: the entry of SHChangeNotify then
// begins with "mov rax, imm64". Only the start-up does that, so it tells a started module apart.
// The hook is set by a thread of the module, which runs only once the load has returned.
bool start_up_ran() {
    HMODULE shell = ::GetModuleHandleW(L"shell32.dll");
    const volatile unsigned char* entry =
        shell ? reinterpret_cast<const unsigned char*>(reinterpret_cast<void*>(::GetProcAddress(shell, "SHChangeNotify")))
              : nullptr;
    if (!entry) return false;
    for (int waited = 0; waited < 2000; waited += 20) {
        if (entry[0] == 0x48 && entry[1] == 0xB8) return true;
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
    if (mode == L"unload") {
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
        get_class_object get = find_export<get_class_object>(module, "DllGetClassObject");
        IClassFactory* factory = nullptr;
        const HRESULT hr = get ? get(IID_IPersistFile, IID_IClassFactory, reinterpret_cast<void**>(&factory)) : E_NOTIMPL;
        if (FAILED(hr)) return 2;
        IShellFolder* folder = nullptr;
        const HRESULT created = factory->CreateInstance(nullptr, IID_IShellFolder, reinterpret_cast<void**>(&folder));
        factory->Release();
        std::printf("0x%08lx\n", static_cast<unsigned long>(created));
        if (FAILED(created)) return 2;
        folder->Release();
        return 0;
    }
    return 3;
}
