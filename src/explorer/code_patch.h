// Redirection of a function of a loaded module to a handler of ours, for the whole process:
// the function's first 12 bytes become an absolute jump (mov rax, imm64; jmp rax), and the
// instructions they held move to a trampoline that runs them and jumps back behind the patch.
//
// The entry is written once and never restored, so a caller on another thread can neither run
// half-written code nor slip through an unpatched entry while the original is being called.
#pragma once

#include <cstddef>

namespace explorer {

const std::size_t patch_size = 12;

// What the decoder knows of one instruction of a function's prologue.
struct instruction_info {
    std::size_t length = 0;
    // Offset of a rip-relative 32-bit displacement inside the instruction; 0 when there is none.
    std::size_t rip_displacement = 0;
};

// Decodes the instruction at `code`. False for anything that cannot run at another address as
// it is: jumps, calls, returns, and instructions the decoder does not know.
bool decode_instruction(const unsigned char* code, instruction_info& info);

// Sends every later call of `target` to `handler`. `*original` receives the trampoline through
// which the original function still runs before the first call can reach the handler. False
// (and nothing changed) when `target` cannot be patched.
bool redirect_function(void* target, const void* handler, void* volatile* original);

}  // namespace explorer
