#include "explorer/code_patch.h"

#include "util/unique_resource.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace explorer {

namespace {

// jmp qword [rip+0] followed by the address: leaves every register as it is, because the
// prologue just moved may have set one (mov rax, rsp is common) that the rest relies on.
const unsigned char jump_back_opcode[] = {0xFF, 0x25, 0x00, 0x00, 0x00, 0x00};
const std::size_t jump_back_size = sizeof(jump_back_opcode) + 8;
// Room for the longest run of moved instructions (each at most 15 bytes) and the jump back.
const std::size_t trampoline_size = patch_size + 15 + jump_back_size;

// Reads the ModRM byte (and SIB and displacement) at code[i]; advances i.
void skip_modrm(const unsigned char* code, std::size_t& i, instruction_info& info) {
    const unsigned char modrm = code[i++];
    const unsigned mod = modrm >> 6, rm = modrm & 7;
    if (mod == 3) return;
    if (rm == 4) {
        const unsigned char sib = code[i++];
        if (mod == 0 && (sib & 7) == 5) i += 4;
    } else if (mod == 0 && rm == 5) {
        info.rip_displacement = i;
        i += 4;
    }
    if (mod == 1) i += 1;
    if (mod == 2) i += 4;
}

bool is_alu_modrm(unsigned char op) { return op < 0x40 && (op & 7) < 4 && (op & 0xC0) == 0; }
bool is_alu_immediate(unsigned char op) { return op < 0x40 && ((op & 7) == 4 || (op & 7) == 5); }

// Free memory within 2 GB of `origin`, so that rip-relative displacements still reach.
unsigned char* allocate_near(const unsigned char* origin) {
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    const std::uintptr_t granularity = system.dwAllocationGranularity;
    const std::uintptr_t centre = reinterpret_cast<std::uintptr_t>(origin);
    const std::uintptr_t reach = 0x70000000;  // well inside the ±2 GB of a rel32
    std::uintptr_t address = centre > reach ? centre - reach : granularity;
    const std::uintptr_t end = centre + reach;
    while (address < end) {
        MEMORY_BASIC_INFORMATION region;
        if (!::VirtualQuery(reinterpret_cast<void*>(address), &region, sizeof(region))) break;
        const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(region.BaseAddress);
        const std::uintptr_t region_end = base + region.RegionSize;
        if (region.State == MEM_FREE) {
            const std::uintptr_t aligned = (base + granularity - 1) / granularity * granularity;
            if (aligned + trampoline_size <= region_end) {
                if (void* memory = ::VirtualAlloc(reinterpret_cast<void*>(aligned), trampoline_size,
                                                  MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE)) {
                    return static_cast<unsigned char*>(memory);
                }
            }
        }
        if (region_end <= address) break;
        address = region_end;
    }
    return nullptr;
}

bool write_code(void* target, const void* bytes, std::size_t size) {
    DWORD previous = 0;
    if (!::VirtualProtect(target, size, PAGE_EXECUTE_READWRITE, &previous)) return false;
    std::memcpy(target, bytes, size);
    ::VirtualProtect(target, size, previous, &previous);
    ::FlushInstructionCache(::GetCurrentProcess(), target, size);
    return true;
}

// The other threads of the process, held still while the entry is rewritten. A thread stopped
// inside the bytes being replaced is moved to the same instruction in the trampoline (the moved
// instructions keep their lengths, so offsets carry over).
//
// Nothing is allocated or freed from the first stop to the last resume: a stopped thread may
// hold the heap's lock (the start-up load and the re-link pass allocate all the time), and the
// patching thread would then wait for it for ever, with every other thread of Explorer stopped.
class other_threads_suspended {
public:
    other_threads_suspended(const unsigned char* from, std::size_t size, const unsigned char* to) {
        open_other_threads();
        for (HANDLE& thread : threads_) {
            if (::SuspendThread(thread) == static_cast<DWORD>(-1)) {
                ::CloseHandle(thread);
                thread = nullptr;
                continue;
            }
            CONTEXT context;
            std::memset(&context, 0, sizeof(context));
            context.ContextFlags = CONTEXT_CONTROL;
            if (!::GetThreadContext(thread, &context)) continue;
            const std::uintptr_t ip = context.Rip, start = reinterpret_cast<std::uintptr_t>(from);
            if (ip >= start && ip < start + size) {
                context.Rip = reinterpret_cast<std::uintptr_t>(to) + (ip - start);
                ::SetThreadContext(thread, &context);
            }
        }
    }
    ~other_threads_suspended() {
        for (HANDLE thread : threads_) {
            if (!thread) continue;
            ::ResumeThread(thread);
            ::CloseHandle(thread);
        }
    }
    other_threads_suspended(const other_threads_suspended&) = delete;
    other_threads_suspended& operator=(const other_threads_suspended&) = delete;

private:
    void open_other_threads() {
        std::vector<DWORD> ids;
        util::unique_file snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
        if (snapshot) {
            THREADENTRY32 entry;
            entry.dwSize = sizeof(entry);
            const DWORD process = ::GetCurrentProcessId(), self = ::GetCurrentThreadId();
            for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
                if (entry.th32OwnerProcessID == process && entry.th32ThreadID != self) ids.push_back(entry.th32ThreadID);
            }
        }
        threads_.reserve(ids.size());
        for (DWORD id : ids) {
            HANDLE thread = ::OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, id);
            if (thread) threads_.push_back(thread);
        }
    }

    std::vector<HANDLE> threads_;  // null where a thread could not be stopped
};

}  // namespace

bool decode_instruction(const unsigned char* code, instruction_info& info) {
    info = instruction_info();
    std::size_t i = 0;
    bool operand16 = false;
    for (; i < 4; ++i) {
        if (code[i] == 0x66) operand16 = true;
        else if (code[i] != 0xF2 && code[i] != 0xF3) break;
    }
    bool wide = false;
    if ((code[i] & 0xF0) == 0x40) wide = (code[i++] & 0x08) != 0;
    const std::size_t immediate32 = operand16 ? 2 : 4;
    const unsigned char op = code[i++];
    std::size_t immediate = 0;
    if ((op >= 0x50 && op <= 0x5F) || op == 0x90) {
        // push, pop, nop
    } else if (op == 0x68) {
        immediate = 4;
    } else if (op == 0x6A || (op >= 0xB0 && op <= 0xB7)) {
        immediate = 1;
    } else if (op >= 0xB8 && op <= 0xBF) {
        immediate = wide ? 8 : immediate32;
    } else if (is_alu_immediate(op)) {
        immediate = (op & 7) == 4 ? 1 : immediate32;
    } else if (is_alu_modrm(op) || op == 0x63 || (op >= 0x84 && op <= 0x8B) || op == 0x8D || op == 0xD1 ||
               op == 0xD3) {
        skip_modrm(code, i, info);
    } else if (op == 0x80 || op == 0x83 || op == 0xC6 || op == 0x6B || op == 0xC0 || op == 0xC1) {
        skip_modrm(code, i, info);
        immediate = 1;
    } else if (op == 0x81 || op == 0xC7 || op == 0x69) {
        skip_modrm(code, i, info);
        immediate = immediate32;
    } else if (op == 0xF6 || op == 0xF7) {
        const unsigned reg = (code[i] >> 3) & 7;
        skip_modrm(code, i, info);
        if (reg < 2) immediate = op == 0xF6 ? 1 : immediate32;
    } else if (op == 0xFF) {
        const unsigned reg = (code[i] >> 3) & 7;
        if (reg != 0 && reg != 1 && reg != 6) return false;  // calls and jumps
        skip_modrm(code, i, info);
    } else if (op == 0x0F) {
        const unsigned char op2 = code[i++];
        const bool known = op2 == 0x1F || op2 == 0x10 || op2 == 0x11 || op2 == 0x28 || op2 == 0x29 || op2 == 0x57 ||
                           op2 == 0x6F || op2 == 0x7F || op2 == 0xD6 || op2 == 0xEF || op2 == 0xAF ||
                           (op2 >= 0x40 && op2 <= 0x4F) || op2 == 0xB6 || op2 == 0xB7 || op2 == 0xBE || op2 == 0xBF;
        if (!known) return false;
        skip_modrm(code, i, info);
    } else {
        return false;
    }
    info.length = i + immediate;
    return true;
}

bool redirect_function(void* target, const void* handler, void* volatile* original) {
    unsigned char* entry = static_cast<unsigned char*>(target);
    if (!entry || !handler || !original) return false;

    std::vector<instruction_info> moved;
    std::size_t covered = 0;
    while (covered < patch_size) {
        instruction_info info;
        if (!decode_instruction(entry + covered, info)) return false;
        moved.push_back(info);
        covered += info.length;
    }

    unsigned char* trampoline = allocate_near(entry);
    if (!trampoline) return false;
    std::memcpy(trampoline, entry, covered);
    std::size_t at = 0;
    for (const instruction_info& info : moved) {
        if (info.rip_displacement) {
            std::int32_t displacement;
            std::memcpy(&displacement, entry + at + info.rip_displacement, 4);
            const std::int64_t aim = reinterpret_cast<std::intptr_t>(entry + at + info.length) + displacement;
            const std::int64_t moved_displacement = aim - reinterpret_cast<std::intptr_t>(trampoline + at + info.length);
            if (moved_displacement != static_cast<std::int32_t>(moved_displacement)) {
                ::VirtualFree(trampoline, 0, MEM_RELEASE);
                return false;
            }
            displacement = static_cast<std::int32_t>(moved_displacement);
            std::memcpy(trampoline + at + info.rip_displacement, &displacement, 4);
        }
        at += info.length;
    }
    std::memcpy(trampoline + covered, jump_back_opcode, sizeof(jump_back_opcode));
    const std::uint64_t resume = reinterpret_cast<std::uintptr_t>(entry + covered);
    std::memcpy(trampoline + covered + sizeof(jump_back_opcode), &resume, 8);
    DWORD previous = 0;
    ::VirtualProtect(trampoline, trampoline_size, PAGE_EXECUTE_READ, &previous);
    ::FlushInstructionCache(::GetCurrentProcess(), trampoline, trampoline_size);

    *original = trampoline;

    unsigned char jump[patch_size] = {0x48, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xE0};
    const std::uint64_t handler_address = reinterpret_cast<std::uintptr_t>(handler);
    std::memcpy(jump + 2, &handler_address, 8);
    bool written;
    {
        other_threads_suspended still(entry, covered, trampoline);
        written = write_code(entry, jump, patch_size);
    }
    if (!written) {
        *original = nullptr;
        ::VirtualFree(trampoline, 0, MEM_RELEASE);
        return false;
    }
    return true;
}

}  // namespace explorer
