// The processor's features, asked of it with cpuid, agree with what the
// compiler runtime says where its runtime fills that in (the builds that
// run these tests); on the way that the wheels are built, the runtime's
// answer is always no, which is why the library asks for itself.
#include <cstdio>

#include "text/processor.hpp"

int main()
{
    const tessarin::detail::ProcessorFeatures& features = tessarin::detail::processor();
    int failures = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    const struct {
        const char* name;
        bool asked, runtime;
    } checks[] = {
        {"avx2", features.avx2, __builtin_cpu_supports("avx2") != 0},
        {"popcnt", features.popcnt, __builtin_cpu_supports("popcnt") != 0},
    };
    for (const auto& check : checks) {
        if (check.asked == check.runtime) continue;
        std::printf("FAIL: %s asked of the processor %d, the runtime says %d\n", check.name, check.asked,
                    check.runtime);
        ++failures;
    }
#else
    if (features.avx2 || features.popcnt) {
        std::printf("FAIL: features of another processor family\n");
        ++failures;
    }
#endif
    if (failures == 0) std::printf("processor features: avx2 %d, popcnt %d\n", features.avx2, features.popcnt);
    return failures == 0 ? 0 : 1;
}
