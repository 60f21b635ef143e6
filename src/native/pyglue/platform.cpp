#include "pyglue/platform.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

namespace pyglue {

StackExtent current_stack() {
    StackExtent extent;
#if defined(_WIN32)
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
    GetCurrentThreadStackLimits(&low, &high);  // Windows 8 and later
    extent.low = low;
    extent.size = high - low;
#elif defined(__APPLE__)
    // The address that pthread_get_stackaddr_np gives is the stack's top.
    const pthread_t self = pthread_self();
    const auto high = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    extent.size = pthread_get_stacksize_np(self);
    extent.low = high - extent.size;
#elif defined(__linux__)  // glibc and musl
    pthread_attr_t attr;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        if (pthread_attr_getstack(&attr, &low, &size) != 0) low = nullptr;
        pthread_attr_destroy(&attr);
    }
    if (low != nullptr) {
        extent.low = reinterpret_cast<std::uintptr_t>(low);
        extent.size = size;
    }
#endif
    return extent;
}

std::uintptr_t stack_position() {
#if defined(__GNUC__) || defined(__clang__)
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#else
    volatile char probe = 0;  // a local of this frame
    return reinterpret_cast<std::uintptr_t>(&probe);
#endif
}

void wait_for_process_end() {
    for (;;) {
#if defined(_WIN32)
        Sleep(INFINITE);
#else
        pause();
#endif
    }
}

}  // namespace pyglue
