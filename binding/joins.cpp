// The pair-search functions: bind, take the arrays and k, apply the function's
// own checks in its fixed order, release the interpreter lock around one
// engine call that Ctrl-C can stop (interrupt.hpp), and return the records as
// a list of tuples.
#include "joins.hpp"

#include <string>

#include "arguments.hpp"
#include "arrays.hpp"
#include "brimel/cross_join.hpp"
#include "brimel/limits.hpp"
#include "brimel/self_join.hpp"
#include "errors.hpp"
#include "interrupt.hpp"
#include "results.hpp"

namespace brimel::binding {
namespace {

const FunctionDescription kFindPairsSelf{"find_pairs_self", {"a", "k"}};
const FunctionDescription kFindPairsSelfBit{"find_pairs_self_bit", {"a", "k"}};
const FunctionDescription kFindPairsCross{"find_pairs_cross", {"a", "b", "k"}};
const FunctionDescription kFindPairsCrossBit{"find_pairs_cross_bit", {"a", "b", "k"}};
const FunctionDescription kFindPairsSelfFullPopcount{"_find_pairs_self_full_popcount", {"a", "k"}};
const FunctionDescription kFindPairsSelfAdaptive{"find_pairs_self_adaptive", {"a", "k"}};

// Without a final full stop; the cross-join adds one.
std::string bit_k_message(std::uint32_t k, std::uint64_t d_bytes) {
    return messages::k_not_below_code_bits("brimel: ", k, d_bytes);
}

// The array and k of a self-join, taken in parameter order (a, then k).
struct SelfJoinInput {
    HeldArray a;
    MatrixView view;
    std::uint32_t k;
};

SelfJoinInput take_self_join_input(const FunctionDescription& function, PyObject* args, PyObject* kwargs) {
    const BoundArguments bound = bind_arguments(function, args, kwargs);
    HeldArray a = extract_code_array(bound[0], "a");
    const std::uint32_t k = extract_u32(bound[1], "k");
    const MatrixView view = a.pin_matrix("a");
    return {std::move(a), view, k};
}

// Runs a self-join routine without the interpreter lock, releases the array,
// and returns the records as a list.
template <class Search>
PyObject* run_self_join(SelfJoinInput& input, Search&& search) {
    const MatrixView& view = input.view;
    auto records = run_interruptible([&](RunControl& control) {
        return search(matrix_bytes(view), view.n, view.d_bytes, input.k, &control);
    });
    input.a.release_array();
    return pairs_to_list(std::move(records));
}

// The two arrays and k of a cross-join, taken and checked for layout.
struct CrossJoinInput {
    HeldArray a;  // declared first, so destroyed last: b is released before a
    HeldArray b;
    MatrixView a_view;
    MatrixView b_view;
    std::uint32_t k;

    void release_arrays() noexcept {
        b.release_array();
        a.release_array();
    }
};

// The entry protocol of both cross-joins, up to their k test: bind (a, b, k);
// take a, then b (a failure releases a; the same array object may be passed as
// both), then k; then, with both arrays released (b first) on any failure:
// widths equal (tested before any layout), both C-contiguous, a's rows back to
// back, then b's. Failures raise and throw PythonErrorAlreadySet.
CrossJoinInput take_cross_join_input(const FunctionDescription& function, PyObject* args, PyObject* kwargs) {
    const BoundArguments bound = bind_arguments(function, args, kwargs);
    HeldArray a = extract_code_array(bound[0], "a");
    HeldArray b = extract_code_array(bound[1], "b");
    const std::uint32_t k = extract_u32(bound[2], "k");
    const MatrixView a_view = a.pin_matrix("a");
    const MatrixView b_view = b.pin_matrix("b");
    if (a_view.d_bytes != b_view.d_bytes)
        raise(PyExc_ValueError, "A and B must have the same d_bytes (shape[1])");
    if (!a_view.c_contiguous || !b_view.c_contiguous)
        raise(PyExc_ValueError, "A and B must be C-contiguous; pass np.ascontiguousarray(...)");
    if (!is_standard_layout(a_view)) raise(PyExc_ValueError, "A array is not contiguous");
    if (!is_standard_layout(b_view)) raise(PyExc_ValueError, "B array is not contiguous");
    return {std::move(a), std::move(b), a_view, b_view, k};
}

// Runs a cross-join routine without the interpreter lock, releases b then a,
// and returns the records as a list.
template <class Search>
PyObject* run_cross_join(CrossJoinInput& input, Search&& search) {
    const MatrixView& a = input.a_view;
    const MatrixView& b = input.b_view;
    auto records = run_interruptible([&](RunControl& control) {
        return search(matrix_bytes(a), a.n, matrix_bytes(b), b.n, a.d_bytes, input.k, &control);
    });
    input.release_arrays();
    return pairs_to_list(std::move(records));
}

}  // namespace

PyObject* find_pairs_self(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        SelfJoinInput input = take_self_join_input(kFindPairsSelf, args, kwargs);
        const MatrixView& view = input.view;
        const std::uint32_t k = input.k;
        if (!view.c_contiguous)
            raise(PyExc_ValueError, "A must be C-contiguous; pass np.ascontiguousarray(A)");
        if (!is_standard_layout(view)) raise(PyExc_ValueError, "array is not contiguous");
        if (view.d_bytes <= k)
            raise(PyExc_ValueError,
                  messages::k_not_below_d_bytes(k, view.d_bytes, messages::kSelfJoinAdvice));
        return run_self_join(input, find_pairs_self_no_dedup_par_prefetch);
    });
}

PyObject* find_pairs_self_bit(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        SelfJoinInput input = take_self_join_input(kFindPairsSelfBit, args, kwargs);
        const MatrixView& view = input.view;
        const std::uint32_t k = input.k;
        if (!view.c_contiguous)
            raise(PyExc_ValueError, "A must be C-contiguous; pass np.ascontiguousarray(A)");
        if (!is_standard_layout(view)) raise(PyExc_ValueError, "array is not contiguous");
        if (!k_below_code_bits(k, view.d_bytes)) raise(PyExc_ValueError, bit_k_message(k, view.d_bytes));
        return run_self_join(input, brimel::find_pairs_self_bit);
    });
}

PyObject* find_pairs_cross(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        CrossJoinInput input = take_cross_join_input(kFindPairsCross, args, kwargs);
        const MatrixView& a = input.a_view;
        if (a.d_bytes <= input.k)
            raise(PyExc_ValueError,
                  messages::k_not_below_d_bytes(input.k, a.d_bytes, messages::kCrossJoinAdvice));
        return run_cross_join(input, brimel::find_pairs_cross);
    });
}

PyObject* find_pairs_cross_bit(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        CrossJoinInput input = take_cross_join_input(kFindPairsCrossBit, args, kwargs);
        const MatrixView& a = input.a_view;
        if (!k_below_code_bits(input.k, a.d_bytes))
            raise(PyExc_ValueError, bit_k_message(input.k, a.d_bytes) + ".");
        return run_cross_join(input, brimel::find_pairs_cross_bit);
    });
}

PyObject* find_pairs_self_full_popcount(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        SelfJoinInput input = take_self_join_input(kFindPairsSelfFullPopcount, args, kwargs);
        const MatrixView& view = input.view;
        const std::uint32_t k = input.k;
        if (!view.c_contiguous) raise(PyExc_ValueError, "A must be C-contiguous");
        if (!is_standard_layout(view)) raise(PyExc_ValueError, "array is not contiguous");
        if (view.d_bytes <= k) raise(PyExc_ValueError, messages::k_not_below_d_bytes_plain(k, view.d_bytes));
        return run_self_join(input, find_pairs_self_no_dedup_par_prefetch_full);
    });
}

// No k test here: every k reaches the engine, which falls back to the bit-level
// join (and its k and chunk-width panics) when the sample cannot fill k + 1
// position lists.
PyObject* find_pairs_self_adaptive(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        SelfJoinInput input = take_self_join_input(kFindPairsSelfAdaptive, args, kwargs);
        const MatrixView& view = input.view;
        if (!view.c_contiguous) raise(PyExc_ValueError, "A must be C-contiguous");
        if (view.d_bytes == 0) raise(PyExc_ValueError, "A has zero-width rows (shape[1] == 0)");
        if (!is_standard_layout(view)) raise(PyExc_ValueError, "array is not contiguous");
        return run_self_join(input, brimel::find_pairs_self_adaptive);
    });
}

}  // namespace brimel::binding
