#include "brimel/errors.hpp"

namespace brimel {

void panic(std::string_view message) { throw Panic(std::string(message)); }

void panic_not_equal(std::string_view what, std::uint64_t left, std::uint64_t right) {
    std::string message = "assertion `left == right` failed: ";
    message += what;
    message += "\n  left: ";
    message += std::to_string(left);
    message += "\n right: ";
    message += std::to_string(right);
    throw Panic(message);
}

std::string code_width_message(std::uint64_t d_bytes) {
    return "d_bytes (" + std::to_string(d_bytes) +
           ") is too large: 8*d_bytes must fit in 64 bits (d_bytes <= " + std::to_string(kMaxCodeBytes) + ")";
}

void panic_out_of_range(std::uint64_t index, std::uint64_t length) {
    throw Panic("range end index " + std::to_string(index) + " out of range for slice of length " +
                std::to_string(length));
}

}  // namespace brimel
