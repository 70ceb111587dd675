// The module's exports and its class factory, called in-process as the shell calls them.
#include "com_fixture.h"
#include "explorer/class_factory.h"
#include "util/class_id.h"

#include <objbase.h>
#include <shlobj.h>

STDAPI DllGetClassObject(REFCLSID, REFIID, LPVOID*);
STDAPI DllCanUnloadNow();

namespace {

void* const sentinel = reinterpret_cast<void*>(0x1234);

IClassFactory* get_factory(REFCLSID clsid) {
    void* out = sentinel;
    EXPECT_EQ(S_OK, DllGetClassObject(clsid, IID_IClassFactory, &out));
    return static_cast<IClassFactory*>(out);
}

// The reference count an object holds, read through AddRef/Release results.
ULONG count_of(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

}  // namespace

TEST(ClassFactory, AnyClassIdentifierGivesTheOneFactory) {
    const CLSID unregistered = {0x01234567, 0x89AB, 0xCDEF, {0, 1, 2, 3, 4, 5, 6, 7}};
    IClassFactory* ours = get_factory(util::class_id);
    IClassFactory* other = get_factory(unregistered);
    IClassFactory* null_class = get_factory(GUID_NULL);
    ASSERT_NE(nullptr, ours);
    EXPECT_EQ(ours, other);
    EXPECT_EQ(ours, null_class);
    EXPECT_EQ(static_cast<IClassFactory*>(&explorer::class_factory()), ours);
    ours->Release();
    other->Release();
    null_class->Release();

    void* unknown = sentinel;
    ASSERT_EQ(S_OK, DllGetClassObject(GUID_NULL, IID_IUnknown, &unknown));
    EXPECT_EQ(ours, static_cast<IUnknown*>(unknown));
    static_cast<IUnknown*>(unknown)->Release();

    void* wrong = sentinel;
    EXPECT_EQ(E_NOINTERFACE, DllGetClassObject(util::class_id, IID_IShellFolder, &wrong));
    EXPECT_EQ(nullptr, wrong);
}

TEST(ClassFactory, CountRestsAtOneAndTheFactoryIsNeverFreed) {
    IClassFactory* factory = get_factory(util::class_id);
    ASSERT_NE(nullptr, factory);
    const ULONG held = explorer::class_factory().references();
    EXPECT_EQ(held + 1, factory->AddRef());
    EXPECT_EQ(held, factory->Release());
    // Drain every reference, then some: a count reaching zero answers 0 and stays at 1.
    for (ULONG i = held; i > 1; --i) factory->Release();
    EXPECT_EQ(0u, factory->Release());
    EXPECT_EQ(1u, explorer::class_factory().references());
    EXPECT_EQ(0u, factory->Release());
    EXPECT_EQ(1u, explorer::class_factory().references());

    // Still alive and working after what would have freed an ordinary object twice.
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    IShellFolder* folder = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IShellFolder, reinterpret_cast<void**>(&folder)));
    folder->Release();
    EXPECT_EQ(S_FALSE, DllCanUnloadNow());
}

TEST(ClassFactory, CreatesTheFolderForIShellFolder) {
    IClassFactory* factory = get_factory(util::class_id);
    ASSERT_NE(nullptr, factory);
    void* out = sentinel;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IShellFolder, &out));
    IShellFolder* folder = static_cast<IShellFolder*>(out);
    // The caller holds the only reference: the factory released its own.
    EXPECT_EQ(1u, count_of(folder));

    IPersistFolder* persist = nullptr;
    ASSERT_EQ(S_OK, folder->QueryInterface(IID_IPersistFolder, reinterpret_cast<void**>(&persist)));
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(S_OK, persist->GetClassID(&clsid));
    EXPECT_EQ(util::class_id, clsid);
    persist->Release();
    EXPECT_EQ(0u, folder->Release());

    // The outer object is not looked at: the folder is made all the same.
    IUnknown* outer = factory;
    out = sentinel;
    ASSERT_EQ(S_OK, factory->CreateInstance(outer, IID_IShellFolder, &out));
    static_cast<IUnknown*>(out)->Release();
    factory->Release();
}

TEST(ClassFactory, CreatesTheOverlayIdentifier) {
    IClassFactory* factory = get_factory(util::class_id);
    ASSERT_NE(nullptr, factory);
    IShellIconOverlayIdentifier* overlay = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IShellIconOverlayIdentifier, reinterpret_cast<void**>(&overlay)));
    int priority = -1;
    EXPECT_EQ(S_OK, overlay->GetPriority(&priority));
    EXPECT_EQ(1u, count_of(overlay));
    EXPECT_EQ(0u, overlay->Release());
    factory->Release();
}

TEST(ClassFactory, CreatesTheMenuHandlerForEitherOfItsInterfaces) {
    IClassFactory* factory = get_factory(util::class_id);
    ASSERT_NE(nullptr, factory);
    IContextMenu* menu = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IContextMenu, reinterpret_cast<void**>(&menu)));
    IShellExtInit* init = nullptr;
    ASSERT_EQ(S_OK, menu->QueryInterface(IID_IShellExtInit, reinterpret_cast<void**>(&init)));
    EXPECT_EQ(1u, init->Release());
    EXPECT_EQ(0u, menu->Release());

    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IShellExtInit, reinterpret_cast<void**>(&init)));
    EXPECT_EQ(1u, count_of(init));
    ASSERT_EQ(S_OK, init->QueryInterface(IID_IContextMenu, reinterpret_cast<void**>(&menu)));
    menu->Release();
    EXPECT_EQ(0u, init->Release());
    factory->Release();
}

TEST(ClassFactory, OtherInterfacesCreateNothing) {
    IClassFactory* factory = get_factory(util::class_id);
    ASSERT_NE(nullptr, factory);
    // IShellFolder2 and IPersistFolder are served by the folder once it exists, but the
    // factory chooses the object only by the interfaces of its table.
    for (const IID* iid : {&IID_IUnknown, &IID_IPersistFolder, &IID_IShellFolder2, &IID_IClassFactory}) {
        void* out = sentinel;
        EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, *iid, &out));
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IShellFolder, nullptr));
    factory->Release();
}

TEST(ClassFactory, QueryInterfaceServesOnlyIUnknownAndIClassFactory) {
    explorer::CShellExtClassFactory& factory = explorer::class_factory();
    const ULONG before = factory.references();
    void* out = sentinel;
    EXPECT_EQ(E_NOINTERFACE, factory.QueryInterface(IID_IShellFolder, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(before, factory.references());  // a miss takes no reference

    ASSERT_EQ(S_OK, factory.QueryInterface(IID_IClassFactory, &out));
    EXPECT_EQ(before + 1, factory.references());
    EXPECT_EQ(static_cast<IClassFactory*>(&factory), out);
    factory.Release();
}

namespace {

std::atomic<int> start_runs(0);
std::atomic<bool> start_ended(false);

template <BOOL result>
BOOL slow_start() {
    ++start_runs;
    ::Sleep(200);  // long enough for the other thread to ask meanwhile
    start_ended = true;
    return result;
}

}  // namespace

// Explorer's start-up runs through this on the first request for an object.
TEST(StartOnce, ThreadsAskingAtOnceWaitForOneRunAndAllGetItsResult) {
    for (const bool succeeds : {true, false}) {
        SCOPED_TRACE(succeeds ? "succeeds" : "fails");
        start_runs = 0;
        start_ended = false;
        explorer::StartOnce start(succeeds ? &slow_start<TRUE> : &slow_start<FALSE>);
        bool answers[2] = {!succeeds, !succeeds}, waited[2] = {false, false};
        std::thread threads[2];
        for (int i = 0; i < 2; ++i) threads[i] = std::thread([&, i] { answers[i] = start.succeeded(); waited[i] = start_ended; });
        for (std::thread& thread : threads) thread.join();
        EXPECT_EQ(1, start_runs.load());
        EXPECT_TRUE(waited[0] && waited[1]);
        EXPECT_EQ(succeeds, answers[0]);
        EXPECT_EQ(succeeds, answers[1]);
        // A failed start-up is not tried again.
        EXPECT_EQ(succeeds, start.succeeded());
        EXPECT_EQ(1, start_runs.load());
    }
}
