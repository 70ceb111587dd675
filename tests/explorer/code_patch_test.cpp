// The prologue decoder and the redirection of a function through a trampoline.
#include "explorer/code_patch.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct decoder_case {
    std::vector<unsigned char> bytes;
    std::size_t length;  // 0: must be refused
    std::size_t rip_displacement;
};

}  // namespace

TEST(CodePatch, DecodesPrologueInstructionsAndRefusesControlFlow) {
    const decoder_case cases[] = {
        {{0x41, 0x57}, 2, 0},                                      // push r15
        {{0x53}, 1, 0},                                            // push rbx
        {{0x48, 0x81, 0xEC, 0xB8, 0x01, 0x00, 0x00}, 7, 0},        // sub rsp, 0x1b8
        {{0x48, 0x83, 0xEC, 0x28}, 4, 0},                          // sub rsp, 0x28
        {{0x48, 0x89, 0x5C, 0x24, 0x08}, 5, 0},                    // mov [rsp+8], rbx
        {{0x48, 0x8B, 0xC4}, 3, 0},                                // mov rax, rsp
        {{0x48, 0x8B, 0x05, 1, 2, 3, 4}, 7, 3},                    // mov rax, [rip+x]
        {{0x48, 0x8D, 0x3D, 0x92, 0x65, 0x07, 0x00}, 7, 3},        // lea rdi, [rip+x]
        {{0x66, 0x0F, 0xEF, 0xC0}, 4, 0},                          // pxor xmm0, xmm0
        {{0x0F, 0x11, 0x84, 0x24, 0x90, 0x01, 0x00, 0x00}, 8, 0},  // movups [rsp+0x190], xmm0
        {{0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8}, 10, 0},             // mov rax, imm64
        {{0xC7, 0x44, 0x24, 0x10, 1, 0, 0, 0}, 8, 0},              // mov dword [rsp+16], 1
        {{0xE8, 0, 0, 0, 0}, 0, 0},                                // call rel32
        {{0xE9, 0, 0, 0, 0}, 0, 0},                                // jmp rel32
        {{0xEB, 0x10}, 0, 0},                                      // jmp rel8
        {{0x74, 0x10}, 0, 0},                                      // je rel8
        {{0x0F, 0x84, 0, 0, 0, 0}, 0, 0},                          // je rel32
        {{0xC3}, 0, 0},                                            // ret
        {{0xFF, 0x15, 0, 0, 0, 0}, 0, 0},                          // call [rip+x]
        {{0xFF, 0xE0}, 0, 0},                                      // jmp rax
    };
    for (const decoder_case& c : cases) {
        std::vector<unsigned char> code = c.bytes;
        code.resize(32, 0xCC);
        explorer::instruction_info info;
        const bool decoded = explorer::decode_instruction(code.data(), info);
        SCOPED_TRACE(::testing::Message() << "first byte " << std::hex << int(c.bytes[0]) << " length " << c.bytes.size());
        EXPECT_EQ(c.length != 0, decoded);
        if (!decoded) continue;
        EXPECT_EQ(c.length, info.length);
        EXPECT_EQ(c.rip_displacement, info.rip_displacement);
    }
}

namespace {

typedef std::int64_t (*add_fn)(std::int64_t);
add_fn original_add = nullptr;

std::int64_t doubled_add(std::int64_t x) {
    return original_add(x) * 2;
}

}  // namespace

TEST(CodePatch, RedirectedFunctionStillRunsItsOriginalCodeThroughTheTrampoline) {
    // x -> x + [constant], with the constant read rip-relative from inside the patched bytes, so
    // the trampoline only works if the displacement was corrected.
    const unsigned char function[] = {
        0x48, 0x8B, 0x05, 0x09, 0x00, 0x00, 0x00,  // mov rax, [rip+9]: the constant at 16
        0x48, 0x01, 0xC8,                          // add rax, rcx
        0x90, 0x90,                                // nop nop
        0xC3,                                      // ret
        0xCC, 0xCC, 0xCC,                          // padding
        0xE8, 0x03, 0, 0, 0, 0, 0, 0,              // the constant 1000
    };
    unsigned char* code = static_cast<unsigned char*>(
        ::VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
    ASSERT_NE(nullptr, code);
    std::memcpy(code, function, sizeof(function));
    const add_fn add = reinterpret_cast<add_fn>(code);
    ASSERT_EQ(1005, add(5));

    void* volatile trampoline = nullptr;
    ASSERT_TRUE(explorer::redirect_function(code, reinterpret_cast<const void*>(&doubled_add), &trampoline));
    original_add = reinterpret_cast<add_fn>(trampoline);
    EXPECT_EQ(0x48, code[0]);
    EXPECT_EQ(0xB8, code[1]);
    EXPECT_EQ(2010, add(5));
    EXPECT_EQ(1007, original_add(7));
}

TEST(CodePatch, FunctionStartingWithAJumpIsLeftAlone) {
    unsigned char* code = static_cast<unsigned char*>(
        ::VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
    ASSERT_NE(nullptr, code);
    const unsigned char function[] = {0x53, 0xEB, 0x02, 0x90, 0x90, 0x5B, 0xC3, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90};
    std::memcpy(code, function, sizeof(function));
    void* volatile trampoline = nullptr;
    EXPECT_FALSE(explorer::redirect_function(code, reinterpret_cast<const void*>(&doubled_add), &trampoline));
    EXPECT_EQ(nullptr, trampoline);
    EXPECT_EQ(0, std::memcmp(code, function, sizeof(function)));
}

namespace {

const wchar_t heap_child_variable[] = L"QUIBRIX_PATCH_HEAP_CHILD";

// Spins without touching the heap.
void spin_for(double milliseconds) {
    LARGE_INTEGER frequency, start, now;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    do {
        ::QueryPerformanceCounter(&now);
    } while ((now.QuadPart - start.QuadPart) * 1000.0 < milliseconds * frequency.QuadPart);
}

}  // namespace

// The patch stops every other thread of Explorer while it writes the entry; one of them may be
// stopped holding the heap's lock, as the start-up load and the re-link pass often do. Here a
// thread holds the C runtime's heap lock most of the time while functions are patched again and
// again. Run in a copy of this program, so that a patch that waits for the lock for ever (and
// keeps every other thread stopped) is ended from outside.
TEST(CodePatch, ThreadsStoppedWhileHoldingTheHeapLockDoNotStopThePatch) {
    wchar_t flag[8];
    if (::GetEnvironmentVariableW(heap_child_variable, flag, 8)) {
        const HANDLE heap = reinterpret_cast<HANDLE>(_get_heap_handle());
        std::atomic<bool> done(false);
        std::thread holder([&] {
            while (!done) {
                ::HeapLock(heap);
                spin_for(2);
                ::HeapUnlock(heap);
                spin_for(0.2);
            }
        });
        const unsigned char function[] = {0x53, 0x48, 0x83, 0xEC, 0x20, 0x48, 0x83, 0xC4, 0x20,
                                          0x5B, 0x90, 0x90, 0x48, 0x8D, 0x04, 0x09, 0xC3};  // 2 * x
        for (int i = 0; i < 20; ++i) {
            unsigned char* code = static_cast<unsigned char*>(
                ::VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
            ASSERT_NE(nullptr, code);
            std::memcpy(code, function, sizeof(function));
            void* volatile trampoline = nullptr;
            EXPECT_TRUE(explorer::redirect_function(code, reinterpret_cast<const void*>(&doubled_add), &trampoline));
        }
        done = true;
        holder.join();
        return;
    }
    wchar_t program[MAX_PATH];
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring command = std::wstring(L"\"") + program +
                           L"\" --gtest_filter=CodePatch.ThreadsStoppedWhileHoldingTheHeapLockDoNotStopThePatch";
    ::SetEnvironmentVariableW(heap_child_variable, L"1");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    const BOOL started =
        ::CreateProcessW(program, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child);
    ::SetEnvironmentVariableW(heap_child_variable, nullptr);
    ASSERT_TRUE(started);
    ::CloseHandle(child.hThread);
    const DWORD waited = ::WaitForSingleObject(child.hProcess, 30000);
    if (waited != WAIT_OBJECT_0) ::TerminateProcess(child.hProcess, 99);
    DWORD exit_code = 99;
    ::GetExitCodeProcess(child.hProcess, &exit_code);
    ::CloseHandle(child.hProcess);
    EXPECT_EQ(WAIT_OBJECT_0, waited) << "the patch waited for the heap lock with the other threads stopped";
    EXPECT_EQ(0u, exit_code);
}
