// The scan kernel set a process verifies candidates with.
//
// Chosen once, on first use (the binding asks when its modules are imported):
// the environment variable BRIMEL_KERNEL names it, "scalar", "avx2" or
// "avx512"; unset, empty or "best" means the best set this CPU runs (AVX-512
// F with VPOPCNTDQ, else AVX2, else scalar). Results never depend on the set;
// the setting lets every set be tested end to end on one machine.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace brimel {

// BRIMEL_KERNEL names a set this CPU does not run, or no set at all.
class KernelUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The name of the set in use. Throws KernelUnavailable, on every call, when
// BRIMEL_KERNEL cannot be honoured, e.g. "BRIMEL_KERNEL=avx512: this CPU does
// not run the avx512 kernel (it needs AVX-512 F and VPOPCNTDQ); it runs avx2
// and scalar".
const char* active_kernel();

// The sets this CPU runs, best first; "scalar" is always last.
std::vector<std::string> runnable_kernels();

}  // namespace brimel
