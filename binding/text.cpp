#include "text.hpp"

#include <string>

#include "arguments.hpp"
#include "arrays.hpp"
#include "brimel/simhash.hpp"
#include "errors.hpp"
#include "interrupt.hpp"

namespace brimel::binding {

namespace {
const FunctionDescription kSimhash{"simhash", {"text", "shingle", "progress"}, 2};
}  // namespace

PyObject* simhash_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kSimhash, args, kwargs);
        HeldArray held = extract_row_array(bound[0], "text");
        const std::uint32_t shingle = extract_u32(bound[1], "shingle");
        PyObject* progress = bound[2] != nullptr && bound[2] != Py_None ? bound[2] : nullptr;
        if (progress != nullptr && PyCallable_Check(progress) == 0)
            raise(PyExc_TypeError, "progress must be callable or None");
        if (shingle == 0) raise(PyExc_ValueError, "shingle must be at least 1");
        const RowView text = held.pin_row("text");
        if (!text.c_contiguous && text.length > 1) raise(PyExc_ValueError, "text must be C-contiguous");
        const ByteSpan bytes{text.data, static_cast<std::size_t>(text.length)};
        auto codes = run_interruptible(
            [&](RunControl& control) { return simhash_lines(bytes, shingle, &control); }, progress);
        return codes_to_array(std::move(codes));
    });
}

}  // namespace brimel::binding
