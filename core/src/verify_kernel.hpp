// Which verification a join uses: the early-exit count (stops as soon as the
// running count exceeds k) or the full count over the whole row.
#pragma once

namespace brimel::detail {

enum class VerifyKernel { early_exit, full_count };

}  // namespace brimel::detail
