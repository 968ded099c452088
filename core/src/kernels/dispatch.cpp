// Run-time choice of the scan kernel set, made once per process from what the
// CPU (and the OS, for the wide registers' state) supports and from
// BRIMEL_KERNEL (brimel/kernels.hpp).
#include <cstdlib>
#include <vector>

#include "brimel/kernels.hpp"
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

// What each set needs of the CPU, for the refusal.
struct Known {
    std::string_view name;
    std::string_view needs;
};
constexpr Known kKnown[] = {{"avx512", "AVX-512 F and VPOPCNTDQ"}, {"avx2", "AVX2"}, {"scalar", "nothing"}};

std::string listed(std::span<const KernelSet* const> sets) {
    std::string list;
    for (std::size_t s = 0; s < sets.size(); ++s) {
        if (s > 0) list += s + 1 == sets.size() ? " and " : ", ";
        list += sets[s]->name;
    }
    return list;
}

}  // namespace

std::span<const KernelSet* const> runnable() {
    static const std::vector<const KernelSet*> sets = detect();
    return sets;
}

const KernelSet& choose(std::optional<std::string_view> setting, std::span<const KernelSet* const> sets) {
    if (!setting || setting->empty() || *setting == "best") return *sets.front();
    for (const KernelSet* set : sets)
        if (*setting == set->name) return *set;
    const std::string named = "BRIMEL_KERNEL=" + std::string(*setting) + ": ";
    for (const Known& known : kKnown)
        if (*setting == known.name)
            throw KernelUnavailable(named + "this CPU does not run the " + std::string(known.name) +
                                    " kernel (it needs " + std::string(known.needs) + "); it runs " +
                                    listed(sets));
    throw KernelUnavailable(named + "not a kernel; the kernels are scalar, avx2, avx512 and best");
}

const KernelSet& active() {
    static const char* const setting = std::getenv("BRIMEL_KERNEL");
    static const KernelSet& chosen =
        choose(setting ? std::optional<std::string_view>(setting) : std::nullopt, runnable());
    return chosen;
}

}  // namespace brimel::kernels

namespace brimel {

const char* active_kernel() { return kernels::active().name; }

std::vector<std::string> runnable_kernels() {
    std::vector<std::string> names;
    for (const kernels::KernelSet* set : kernels::runnable()) names.emplace_back(set->name);
    return names;
}

}  // namespace brimel
