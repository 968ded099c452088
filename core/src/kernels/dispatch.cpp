// Run-time choice of the scan kernel set, made once per process from what the
// CPU (and the OS, for the wide registers' state) supports.
#include <vector>

#include "scan.hpp"

namespace brimel::kernels {
namespace {

std::vector<const KernelSet*> detect() {
    std::vector<const KernelSet*> sets;
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vpopcntdq"))
        sets.push_back(&kAvx512);
    if (__builtin_cpu_supports("avx2")) sets.push_back(&kAvx2);
#endif
    sets.push_back(&kScalar);
    return sets;
}

}  // namespace

std::span<const KernelSet* const> runnable() {
    static const std::vector<const KernelSet*> sets = detect();
    return sets;
}

const KernelSet& active() {
    static const KernelSet& best = *runnable().front();
    return best;
}

}  // namespace brimel::kernels
