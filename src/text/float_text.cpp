// Shortest round-trip text of doubles.
#include "text/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace qarv {
namespace {

/// Shortest significant digits of |value| (finite, non-zero allowed) and the decimal exponent of
/// the first digit, taken from `std::to_chars`'s scientific form.
struct Digits {
    bool negative = false;
    std::string digits;
    int exponent = 0;
};

Digits shortest_digits(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    Digits out;
    std::size_t at = 0;
    if (text[at] == '-') {
        out.negative = true;
        ++at;
    }
    const std::size_t e = text.find('e');
    for (; at < e; ++at)
        if (text[at] != '.') out.digits.push_back(text[at]);
    out.exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
    return out;
}

std::string plain_layout(const Digits& d) {
    std::string out = d.negative ? "-" : "";
    const int point = d.exponent + 1; // digits before the decimal point
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += d.digits;
    } else if (static_cast<std::size_t>(point) >= d.digits.size()) {
        out += d.digits;
        out.append(static_cast<std::size_t>(point) - d.digits.size(), '0');
        out += ".0";
    } else {
        out += d.digits.substr(0, static_cast<std::size_t>(point));
        out += '.';
        out += d.digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

} // namespace

std::string plain_float_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    return plain_layout(shortest_digits(value));
}

std::string json_float_text(double value) {
    const Digits d = shortest_digits(value);
    if (value == 0 || (d.exponent >= -5 && d.exponent <= 15)) return plain_layout(d);
    std::string out = d.negative ? "-" : "";
    out += d.digits[0];
    if (d.digits.size() > 1) {
        out += '.';
        out += d.digits.substr(1);
    }
    out += d.exponent < 0 ? "e-" : "e+";
    out += std::to_string(std::abs(d.exponent));
    return out;
}

} // namespace qarv
