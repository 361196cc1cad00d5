// What the processor offers beyond the baseline that the library is built
// for, asked of the processor itself. The compiler runtime's answer
// (__builtin_cpu_supports) is only as good as the runtime that a build
// links: the toolchain that builds the wheels links one that never fills it
// in, and every path built for AVX2 or POPCNT was left unused there.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#endif

namespace tessarin::detail {

struct ProcessorFeatures {
    bool avx2 = false;
    bool popcnt = false;
};

#if defined(__x86_64__) && defined(__GNUC__)
// The state that the system saves for each thread (XCR0): AVX is usable
// only where it saves the vector registers' upper halves too.
inline unsigned long long saved_state() noexcept
{
    unsigned low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<unsigned long long>(high) << 32) | low;
}
#endif

inline ProcessorFeatures ask_processor() noexcept
{
    ProcessorFeatures features;
#if defined(__x86_64__) && defined(__GNUC__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return features;
    features.popcnt = (ecx & bit_POPCNT) != 0;
    constexpr unsigned long long sse_and_avx_state = 0x6;
    const bool avx_saved = (ecx & bit_OSXSAVE) && (ecx & bit_AVX) &&
                           (saved_state() & sse_and_avx_state) == sse_and_avx_state;
    if (avx_saved && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) features.avx2 = (ebx & bit_AVX2) != 0;
#endif
    return features;
}

// Asked once per process.
inline const ProcessorFeatures& processor() noexcept
{
    static const ProcessorFeatures features = ask_processor();
    return features;
}

} // namespace tessarin::detail
