// _brimel_pairs: the planned join with array results, and the planner's
// explanation. A module of its own, beside _brimel_native, whose attributes
// stay exactly its eight names. The Python layer (brimel_native.find_pairs,
// brimel_native.explain) checks and shapes the arguments; these entries check
// again, since they can be called directly.
//
//   pairs(a, b, k, progress=None, stats=False)  b None for a self-join;
//     -> (i, j, distance, stats)                stats: with stats=True, the run's
//                                               JoinStats as JSON text, else None
//   groups(a, k, progress=None) -> labels       find_groups: int64 label per row
//   explain(a, b, k) -> str                     the PlanChoice as JSON text
//   scan(a, b, k, stats=False)                  the same pairs by the tile scan
//     -> (i, j, distance, stats)                alone: the baseline of the bench
//   spread_cut(sample, k, rows) -> bytes        the spread join (brimel/spread.hpp):
//   route_rows(codes, first_row, side_b, cut,     its cut, the rows routed to
//              k, seed, partitions, keys=False)  partitions, and one partition's
//     -> (records, keys, offsets)                pairs, route by route
//   part_pairs(records, d_bytes, k, cut, cross)
//     -> (i, j, distance)
//   simhash(text, shingle, progress=None) -> codes
//                                               SimHash of each line (text.hpp)
//   k_error(k, d_bytes) -> str or None          the code-width limit (limits.hpp)
//   KERNEL, KERNELS                             the scan kernel set in use, and
//                                               those this CPU runs (kernels.hpp)
//
// pairs, groups and scan run with the interpreter lock released and stop on
// Ctrl-C; progress, a callable or None, is called as progress(done, total)
// while they run (interrupt.hpp).
#include <Python.h>

#include <array>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "arrays.hpp"
#include "bank_type.hpp"
#include "brimel/errors.hpp"
#include "brimel/kernels.hpp"
#include "brimel/limits.hpp"
#include "brimel/pairs.hpp"
#include "brimel/spread.hpp"
#include "errors.hpp"
#include "exit_gate.hpp"
#include "interrupt.hpp"
#include "python_ref.hpp"
#include "text.hpp"

namespace brimel::binding {
namespace {

const FunctionDescription kPairs{"pairs", {"a", "b", "k", "progress", "stats"}, 3};
const FunctionDescription kGroups{"groups", {"a", "k", "progress"}, 2};
const FunctionDescription kExplain{"explain", {"a", "b", "k"}};
const FunctionDescription kScan{"scan", {"a", "b", "k", "stats"}, 3};
const FunctionDescription kOptionPairs{"option_pairs", {"a", "b", "k", "option", "stats"}, 4};
const FunctionDescription kOptionPairsCodes{"option_pairs", {"a", "b", "k"}};

// A and (unless b is None) B, laid out back to back, k below the width, the
// progress callable (borrowed) or nullptr, and whether the run's statistics
// are asked for.
struct PairsInput {
    HeldArray a;
    std::optional<HeldArray> b;
    MatrixView a_view{};
    MatrixView b_view{};
    std::uint32_t k = 0;
    PyObject* progress = nullptr;
    bool stats = false;

    std::optional<ByteSpan> b_bytes() const {
        return b ? std::optional<ByteSpan>(matrix_bytes(b_view)) : std::nullopt;
    }
};

// The argument of the parameter `name`, or nullptr when the function has no
// such parameter or it was not given.
PyObject* argument(const FunctionDescription& function, const BoundArguments& bound, std::string_view name) {
    for (std::size_t p = 0; p < function.parameters.size(); ++p)
        if (function.parameters[p] == name) return bound[p];
    return nullptr;
}

// Whether `flag` (an optional argument) is given and true.
bool truthy(PyObject* flag) {
    if (flag == nullptr) return false;
    const int value = PyObject_IsTrue(flag);
    if (value < 0) throw PythonErrorAlreadySet{};
    return value != 0;
}

// Arguments (a, b, k[, progress][, stats]), or (a, k[, progress]) when
// `has_b` is false.
PairsInput take_input(const FunctionDescription& function, PyObject* args, PyObject* kwargs,
                      bool has_b = true) {
    const BoundArguments bound = bind_arguments(function, args, kwargs);
    const std::size_t k_slot = has_b ? 2 : 1;
    PairsInput input;
    input.a = extract_code_array(bound[0], "a");
    if (has_b && bound[1] != Py_None) input.b.emplace(extract_code_array(bound[1], "b"));
    input.k = extract_u32(bound[k_slot], "k");
    if (PyObject* progress = argument(function, bound, "progress");
        progress != nullptr && progress != Py_None) {
        input.progress = progress;
        if (PyCallable_Check(input.progress) == 0)
            raise(PyExc_TypeError, "progress must be callable or None");
    }
    input.stats = truthy(argument(function, bound, "stats"));
    // Views are taken once every argument is converted: converting k may run
    // Python code.
    input.a_view = input.a.pin_matrix("a");
    if (!input.a_view.c_contiguous || !is_standard_layout(input.a_view))
        raise(PyExc_ValueError, "a must be C-contiguous");
    if (input.b) {
        input.b_view = input.b->pin_matrix("b");
        if (!input.b_view.c_contiguous || !is_standard_layout(input.b_view))
            raise(PyExc_ValueError, "b must be C-contiguous");
        if (input.b_view.d_bytes != input.a_view.d_bytes)
            raise(PyExc_ValueError, "a and b must have the same code width (shape[1]): " +
                                        std::to_string(input.a_view.d_bytes) +
                                        " != " + std::to_string(input.b_view.d_bytes));
    }
    if (!k_below_code_width(input.k, input.a_view.d_bytes))
        raise(PyExc_ValueError,
              messages::k_outside_code_width(std::to_string(input.k), input.a_view.d_bytes, false));
    if (!rows_fit_ids(input.a_view.n) || (input.b && !rows_fit_ids(input.b_view.n)))
        throw RowLimit(std::string(messages::kTooManyRows));
    return input;
}

std::string stats_as_json(const JoinStats& stats) {
    std::ostringstream out;
    out << "{\"plan\":\"" << stats.plan << "\",\"verified\":" << stats.verified
        << ",\"pairs\":" << stats.pairs << ",\"parts\":[";
    for (std::size_t p = 0; p < stats.parts.size(); ++p)
        out << (p ? "," : "") << "{\"groups\":" << stats.parts[p].groups
            << ",\"verified\":" << stats.parts[p].verified << ",\"recorded\":" << stats.parts[p].recorded
            << "}";
    out << "]}";
    return out.str();
}

// Runs `join` on the input without the interpreter lock and returns the
// records as arrays with the run's statistics: JSON text when asked for,
// else None (and the engine gathers none).
template <class Join>
PyObject* run_join(PairsInput& input, Join&& join) {
    JoinStats stats;
    JoinStats* gathered = input.stats ? &stats : nullptr;
    auto records =
        run_interruptible([&](RunControl& control) { return join(gathered, control); }, input.progress);
    PyRef arrays(pairs_to_arrays(std::move(records), input.k));
    PyRef stats_text;
    if (input.stats) {
        const std::string text = stats_as_json(stats);
        stats_text.reset(
            checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
    } else {
        Py_INCREF(Py_None);
        stats_text.reset(Py_None);
    }
    PyObject* i = PyTuple_GetItem(arrays.get(), 0);
    PyObject* j = PyTuple_GetItem(arrays.get(), 1);
    PyObject* distance = PyTuple_GetItem(arrays.get(), 2);
    return checked(PyTuple_Pack(4, i, j, distance, stats_text.get()));
}

PyObject* pairs(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PairsInput input = take_input(kPairs, args, kwargs);
        const MatrixView& a = input.a_view;
        return run_join(input, [&](JoinStats* stats, RunControl& control) {
            return find_pairs(matrix_bytes(a), a.n, input.b_bytes(), input.b_view.n, a.d_bytes, input.k,
                              stats, &control);
        });
    });
}

PyObject* groups(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PairsInput input = take_input(kGroups, args, kwargs, false);
        const MatrixView& a = input.a_view;
        auto labels = run_interruptible(
            [&](RunControl& control) {
                return find_groups(matrix_bytes(a), a.n, a.d_bytes, input.k, &control);
            },
            input.progress);
        return labels_to_array(std::move(labels));
    });
}

PyObject* scan(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PairsInput input = take_input(kScan, args, kwargs);
        const MatrixView& a = input.a_view;
        const MatrixView& b = input.b_view;
        const JoinInput join{a.data, a.n, input.b ? b.data : nullptr, input.b ? b.n : 0, a.d_bytes, input.k};
        return run_join(input, [&](JoinStats* stats, RunControl& control) {
            return join_with_plan(join, scan_plan(), stats, &control);
        });
    });
}

// option_pairs(a, b, k, option, stats=False): pairs(a, b, k, stats=stats)
// found with plan number `option` of explain(a, b, k)'s options, whichever
// the planner would choose.
PyObject* option_pairs(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kOptionPairs, args, kwargs);
        const std::uint64_t option = extract_u32(bound[3], "option");
        PyRef codes_args(checked(PyTuple_Pack(3, bound[0], bound[1], bound[2])));
        PairsInput input = take_input(kOptionPairsCodes, codes_args.get(), nullptr);
        input.stats = truthy(bound[4]);
        const MatrixView& a = input.a_view;
        const MatrixView& b = input.b_view;
        const PlanChoice choice = without_gil(
            [&] { return explain_pairs(matrix_bytes(a), a.n, input.b_bytes(), b.n, a.d_bytes, input.k); });
        if (option >= choice.options.size())
            raise(PyExc_ValueError,
                  "option must be below the number of options, " + std::to_string(choice.options.size()));
        const JoinInput join{a.data, a.n, input.b ? b.data : nullptr, input.b ? b.n : 0, a.d_bytes, input.k};
        return run_join(input, [&](JoinStats* stats, RunControl& control) {
            return join_with_plan(join, choice.options[option].plan, stats, &control);
        });
    });
}

void write_json_string(std::ostringstream& out, const std::string& text) {
    out << '"';
    for (const char c : text) {
        if (c == '"' || c == '\\') out << '\\';
        out << c;
    }
    out << '"';
}

std::string choice_as_json(const PlanChoice& choice) {
    std::ostringstream out;
    out.precision(17);
    out << "{\"chosen\":" << choice.chosen << ",\"options\":[";
    for (std::size_t o = 0; o < choice.options.size(); ++o) {
        const PlanEstimate& option = choice.options[o];
        out << (o ? "," : "") << "{\"plan\":";
        write_json_string(out, option.plan.name);
        out << ",\"estimated_candidates\":" << option.candidates << ",\"estimated_cost_ns\":" << option.cost
            << ",\"parts\":[";
        for (std::size_t p = 0; p < option.plan.parts.size(); ++p) {
            const Part& part = option.plan.parts[p];
            out << (p ? "," : "") << "{\"width\":" << part.width() << ",\"threshold\":" << part.threshold;
            if (part.positions.empty()) {
                out << ",\"bits\":[" << part.lo << "," << part.hi << "]";
            } else {
                out << ",\"positions\":[";
                for (std::size_t t = 0; t < part.positions.size(); ++t)
                    out << (t ? "," : "") << part.positions[t];
                out << "]";
            }
            out << "}";
        }
        out << "]}";
    }
    out << "]}";
    return out.str();
}

PyObject* explain(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PairsInput input = take_input(kExplain, args, kwargs);
        const MatrixView& a = input.a_view;
        const std::string text = without_gil([&] {
            return choice_as_json(
                explain_pairs(matrix_bytes(a), a.n, input.b_bytes(), input.b_view.n, a.d_bytes, input.k));
        });
        return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

// --- the spread join of brimel_native.dask (brimel/spread.hpp) ---------------
//
// spread_cut(sample, k, rows) -> bytes: the cut, as the block of each bit
//   (native int64, -1 for none) and then the blocks per part, chosen on the
//   sample rows (a code matrix) for a join of `rows` rows in all.
// route_rows(codes, first_row, side_b, cut, k, seed, partitions, keys=False)
//   -> (records, keys, offsets): each row once per route, records (uint8, one
//   row of spread_record_bytes per record) grouped by destination, their
//   uint32 route keys (None unless asked for), and int64 offsets
//   (partitions + 1) of the destinations.
// part_pairs(records, d_bytes, k, cut, cross) -> (i, j, distance): the pairs
//   one partition's records (a sequence of record arrays) give, i and j int64
//   global ids.
const FunctionDescription kSpreadCut{"spread_cut", {"sample", "k", "rows"}};
const FunctionDescription kRouteRows{
    "route_rows", {"codes", "first_row", "side_b", "cut", "k", "seed", "partitions", "keys"}, 7};
const FunctionDescription kPartPairs{"part_pairs", {"records", "d_bytes", "k", "cut", "cross"}};

// The routes of `cut` (spread_cut's bytes) for codes of d_bytes bytes at k,
// checked: one int64 per bit, then r.
SpreadRoutes routes_of(PyObject* cut_bytes, std::uint64_t d_bytes, std::uint32_t k) {
    char* data = nullptr;
    Py_ssize_t length = 0;
    if (!PyBytes_Check(cut_bytes) || PyBytes_AsStringAndSize(cut_bytes, &data, &length) < 0)
        raise(PyExc_TypeError, "cut must be the bytes spread_cut returned");
    if (static_cast<std::uint64_t>(length) != 8 * (8 * d_bytes + 1))
        raise(PyExc_ValueError,
              "cut must hold one int64 per code bit and one more: " + std::to_string(length) + " bytes for " +
                  std::to_string(8 * d_bytes) + " bits");
    SpreadCut cut{std::vector<std::int64_t>(8 * d_bytes), 0};
    std::memcpy(cut.blocks.data(), data, cut.blocks.size() * sizeof(std::int64_t));
    std::int64_t r = 0;
    std::memcpy(&r, data + cut.blocks.size() * sizeof(std::int64_t), sizeof r);
    cut.r = r < 0 ? 0 : static_cast<std::uint64_t>(r);
    const std::string fault = spread_cut_fault(cut, d_bytes, k);
    if (!fault.empty()) raise(PyExc_ValueError, fault);
    return spread_routes(cut);
}

// The ValueError of a k not below the code width.
void refuse_k_outside(std::uint32_t k, std::uint64_t d_bytes) {
    if (!k_below_code_width(k, d_bytes))
        raise(PyExc_ValueError, messages::k_outside_code_width(std::to_string(k), d_bytes, false));
}

MatrixView contiguous(HeldArray& array, const char* name) {
    const MatrixView view = array.pin_matrix(name);
    if (!view.c_contiguous || !is_standard_layout(view))
        raise(PyExc_ValueError, std::string(name) + " must be C-contiguous");
    return view;
}

PyObject* spread_cut_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kSpreadCut, args, kwargs);
        HeldArray sample = extract_code_array(bound[0], "sample");
        const std::uint32_t k = extract_u32(bound[1], "k");
        const std::uint64_t rows = extract_u64(bound[2], "rows");
        const MatrixView view = contiguous(sample, "sample");
        refuse_k_outside(k, view.d_bytes);
        const SpreadCut cut =
            without_gil([&] { return spread_cut(matrix_bytes(view), view.n, view.d_bytes, k, rows); });
        std::vector<std::int64_t> words = cut.blocks;
        words.push_back(static_cast<std::int64_t>(cut.r));
        return checked(
            PyBytes_FromStringAndSize(reinterpret_cast<const char*>(words.data()),
                                      static_cast<Py_ssize_t>(words.size() * sizeof(std::int64_t))));
    });
}

PyObject* route_rows_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kRouteRows, args, kwargs);
        HeldArray codes = extract_code_array(bound[0], "codes");
        const std::uint64_t first_row = extract_u64(bound[1], "first_row");
        const bool side_b = truthy(bound[2]);
        const std::uint64_t seed = extract_u64(bound[5], "seed");
        const std::uint64_t partitions = extract_u64(bound[6], "partitions");
        const std::uint32_t k = extract_u32(bound[4], "k");
        const bool with_keys = truthy(bound[7]);
        const MatrixView view = contiguous(codes, "codes");
        refuse_k_outside(k, view.d_bytes);
        const SpreadRoutes routes = routes_of(bound[3], view.d_bytes, k);
        if (partitions == 0 || partitions > kMaxRows)
            raise(PyExc_ValueError, "partitions must be 1 .. 2^32 - 1");
        const std::uint64_t count = routes.keys.parts.size();
        const std::uint64_t id_limit = std::uint64_t{1} << (63 - spread_tag_shift(count));
        if (first_row >= id_limit || view.n > id_limit - first_row)
            raise(PyExc_OverflowError, "row ids must be below 2^" +
                                           std::to_string(63 - spread_tag_shift(count)) + " for " +
                                           std::to_string(count) + " routes");
        const std::uint64_t copies = view.n * count;
        void* records = nullptr;
        void* keys = nullptr;
        void* offsets = nullptr;
        PyRef records_array(new_array(copies, spread_record_bytes(view.d_bytes), Element::u8, &records));
        PyRef keys_array;
        if (with_keys) {
            keys_array.reset(new_array(copies, 0, Element::u32, &keys));
        } else {
            Py_INCREF(Py_None);
            keys_array.reset(Py_None);
        }
        PyRef offsets_array(new_array(partitions + 1, 0, Element::i64, &offsets));
        without_gil([&] {
            route_rows(matrix_bytes(view), view.n, view.d_bytes, static_cast<std::int64_t>(first_row), side_b,
                       routes, seed, partitions, static_cast<std::uint8_t*>(records),
                       static_cast<std::uint32_t*>(keys), static_cast<std::uint64_t*>(offsets));
            return true;
        });
        return checked(PyTuple_Pack(3, records_array.get(), keys_array.get(), offsets_array.get()));
    });
}

PyObject* part_pairs(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kPartPairs, args, kwargs);
        if (PyList_Check(bound[0]) == 0 && PyTuple_Check(bound[0]) == 0)
            raise(PyExc_TypeError, "records must be a list or tuple of record arrays");
        const Py_ssize_t count = PySequence_Size(bound[0]);
        if (count < 0) throw PythonErrorAlreadySet{};
        std::vector<HeldArray> held;
        held.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t p = 0; p < count; ++p) {
            PyRef item(checked(PySequence_GetItem(bound[0], p)));
            held.push_back(extract_code_array(item.get(), "records"));
        }
        const std::uint64_t d_bytes = extract_u64(bound[1], "d_bytes");
        if (d_bytes == 0 || d_bytes > kMaxCodeBytes / 8) raise(PyExc_ValueError, "d_bytes is out of range");
        const std::uint32_t k = extract_u32(bound[2], "k");
        refuse_k_outside(k, d_bytes);
        const SpreadRoutes routes = routes_of(bound[3], d_bytes, k);
        const bool cross = truthy(bound[4]);
        std::vector<ByteSpan> pieces;
        for (HeldArray& array : held) {
            const MatrixView view = contiguous(array, "records");
            if (view.n > 0 && view.d_bytes != spread_record_bytes(d_bytes))
                raise(PyExc_ValueError, "records must have " + std::to_string(spread_record_bytes(d_bytes)) +
                                            " bytes each, not " + std::to_string(view.d_bytes));
            pieces.push_back(matrix_bytes(view));
        }
        SpreadPairs pairs = run_interruptible(
            [&](RunControl& control) { return join_routed(pieces, d_bytes, routes, k, cross, &control); });
        const std::uint64_t found = pairs.i.size();
        void* i = nullptr;
        void* j = nullptr;
        void* distance = nullptr;
        const bool narrow = k <= 0xFFFF;
        PyRef i_array(new_array(found, 0, Element::i64, &i));
        PyRef j_array(new_array(found, 0, Element::i64, &j));
        PyRef distance_array(new_array(found, 0, narrow ? Element::u16 : Element::u32, &distance));
        std::memcpy(i, pairs.i.data(), found * sizeof(std::int64_t));
        std::memcpy(j, pairs.j.data(), found * sizeof(std::int64_t));
        for (std::uint64_t p = 0; p < found; ++p) {
            if (narrow) {
                static_cast<std::uint16_t*>(distance)[p] = static_cast<std::uint16_t>(pairs.distance[p]);
            } else {
                static_cast<std::uint32_t*>(distance)[p] = pairs.distance[p];
            }
        }
        return checked(PyTuple_Pack(3, i_array.get(), j_array.get(), distance_array.get()));
    });
}

// --- k_error: the code-width limit, for the Python layer --------------------
//
// k_error(k, d_bytes) -> None when 0 <= k < 8 * d_bytes (k any int), else the
// text of the Python layer's ValueError, so that the limit and its wording
// live in the engine's limits.hpp alone.
const FunctionDescription kKError{"k_error", {"k", "d_bytes"}};

PyObject* k_error(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kKError, args, kwargs);
        PyRef k(PyNumber_Index(bound[0]));
        if (!k) argument_extraction_error("k");
        const std::uint64_t d_bytes = extract_u64(bound[1], "d_bytes");
        const unsigned long long value = PyLong_AsUnsignedLongLong(k.get());
        bool within = false;
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonErrorAlreadySet{};
            PyErr_Clear();  // negative, or beyond 64 bits: outside every width
        } else {
            within = k_below_code_width(value, d_bytes);
        }
        if (within) Py_RETURN_NONE;
        PyRef text(checked(PyObject_Str(k.get())));
        PyRef utf8(checked(PyUnicode_AsUTF8String(text.get())));
        const std::string message =
            messages::k_outside_code_width(PyBytes_AsString(utf8.get()), d_bytes, true);
        return checked(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    });
}

PyMethodDef methods[] = {
    method("pairs", pairs,
           "pairs(a, b, k, progress=None, stats=False)\n--\n\nEvery pair within k as arrays (i, j, distance) "
           "and, "
           "with stats=True,\nthe run's statistics as JSON (else None); b None: self-join. progress(done, "
           "total)\n"
           "is called while it runs."),
    method("groups", groups,
           "groups(a, k, progress=None)\n--\n\nThe int64 label of each row: the lowest row of its component "
           "of pairs within k.\nprogress(done, total) is called while it runs."),
    method("explain", explain,
           "explain(a, b, k)\n--\n\nThe plans considered for pairs(a, b, k), as JSON text."),
    method("scan", scan,
           "scan(a, b, k, stats=False)\n--\n\npairs(a, b, k, stats=stats) by the tile scan alone, every pair "
           "verified."),
    method("option_pairs", option_pairs,
           "option_pairs(a, b, k, option, stats=False)\n--\n\npairs(a, b, k, stats=stats) found with "
           "plan number option of explain(a, b, k)'s options."),
    method(
        "spread_cut", spread_cut_entry,
        "spread_cut(sample, k, rows)\n--\n\nThe spread join's cut, chosen on the sample rows for a join of "
        "rows rows:\nthe block of each bit (native int64 bytes, -1 for none), then the blocks per part."),
    method("route_rows", route_rows_entry,
           "route_rows(codes, first_row, side_b, cut, k, seed, partitions, keys=False)\n--\n\nEach row once "
           "per route as records grouped by destination partition:\n(records, route keys or None, offsets)."),
    method("part_pairs", part_pairs,
           "part_pairs(records, d_bytes, k, cut, cross)\n--\n\nThe pairs within k that one partition's "
           "records give, each part keeping\nthe pairs that agree on no earlier part: (i, j, distance)."),
    method("simhash", simhash_entry,
           "simhash(text, shingle, progress=None)\n--\n\nThe 64-bit SimHash of each line of text (1-D uint8) "
           "over shingles of\nshingle tokens, as an (n, 8) uint8 code matrix."),
    method("k_error", k_error,
           "k_error(k, d_bytes)\n--\n\nNone when 0 <= k < 8 * d_bytes, else the text of the ValueError that "
           "refuses k."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_brimel_pairs",
    "The planned pair join with array results.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace brimel::binding

// The module with its functions, the Bank type, and KERNEL, the scan kernel
// set in use, and KERNELS, the sets this CPU runs (best first), as
// BRIMEL_KERNEL chose them; a setting the CPU cannot honour fails the import
// with ImportError.
PyMODINIT_FUNC PyInit__brimel_pairs() {
    using namespace brimel::binding;
    return guarded([]() -> PyObject* {
        const char* kernel = brimel::active_kernel();
        PyRef module(checked(PyModule_Create2(&module_definition, 3)));
        PyObject* bank = checked(bank_type(module.get()));  // borrowed
        if (PyObject_SetAttrString(module.get(), "Bank", bank) < 0) throw PythonErrorAlreadySet{};
        if (PyModule_AddStringConstant(module.get(), "KERNEL", kernel) < 0) throw PythonErrorAlreadySet{};
        const std::vector<std::string> names = brimel::runnable_kernels();
        PyRef kernels(checked(PyTuple_New(static_cast<Py_ssize_t>(names.size()))));
        for (std::size_t s = 0; s < names.size(); ++s)
            PyTuple_SetItem(kernels.get(), static_cast<Py_ssize_t>(s),
                            checked(PyUnicode_FromString(names[s].c_str())));
        if (PyObject_SetAttrString(module.get(), "KERNELS", kernels.get()) < 0) throw PythonErrorAlreadySet{};
        register_exit_callback();
        return module.release();
    });
}
