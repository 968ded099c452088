// The pair-search functions: bind, take the arrays and k, apply the function's
// own checks in its fixed order, release the interpreter lock around one
// engine call, and return the records as a list of tuples.
#include "joins.hpp"

#include <string>

#include "arguments.hpp"
#include "arrays.hpp"
#include "brimel/self_join.hpp"
#include "errors.hpp"
#include "results.hpp"

namespace brimel::binding {
namespace {

const FunctionDescription kFindPairsSelf{"find_pairs_self", {"a", "k"}};

std::string byte_k_message(std::uint32_t k, std::uint64_t d_bytes, const char* advice) {
    return "brimel: k (" + std::to_string(k) + ") must be < d_bytes (" + std::to_string(d_bytes) +
           "). At k >= d_bytes the byte-aligned chunk brimelhole can miss pairs. " + advice;
}

}  // namespace

PyObject* find_pairs_self(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kFindPairsSelf, args, kwargs);
        HeldArray a = extract_code_array(bound[0], "a");
        const std::uint32_t k = extract_u32(bound[1], "k");
        const MatrixView view = a.matrix_view();
        if (!view.c_contiguous)
            return raise(PyExc_ValueError, "A must be C-contiguous; pass np.ascontiguousarray(A)");
        if (!is_standard_layout(view)) return raise(PyExc_ValueError, "array is not contiguous");
        if (view.d_bytes <= k)
            return raise(PyExc_ValueError,
                         byte_k_message(k, view.d_bytes,
                                        "For that regime use faiss.IndexBinaryFlat or a bit-level chunk "
                                        "implementation (not yet shipped)."));
        auto records = without_gil([&] {
            return find_pairs_self_no_dedup_par_prefetch(matrix_bytes(view), view.n, view.d_bytes, k);
        });
        a.release_array();
        return pairs_to_list(std::move(records));
    });
}

}  // namespace brimel::binding
