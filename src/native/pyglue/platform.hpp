// What differs between the platforms the modules build on (glibc and musl
// Linux, macOS, Windows; GCC, Clang and MSVC; libstdc++ and libc++), in one
// place, each with the same behaviour everywhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pyglue {

// This thread's C stack: its lowest address and its size, or {0, 0} where
// the platform does not say.
struct StackExtent {
    std::uintptr_t low = 0;
    std::size_t size = 0;
};
StackExtent current_stack();

// An address within the caller's frame: how deep the C stack is used now.
std::uintptr_t stack_position();

// Never returns: the calling thread waits until the process ends.
[[noreturn]] void wait_for_process_end();

}  // namespace pyglue
