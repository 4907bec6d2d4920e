// Shortest round-trip text of doubles.
#include "text/float_text.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace qarv {
namespace {

/// Shortest significant digits of |value| (finite) and the decimal exponent of the first digit,
/// taken from `std::to_chars`'s scientific form. 17 digits is the most a double needs.
struct Digits {
    bool negative = false;
    char digits[17];
    std::size_t count = 0;
    int exponent = 0;

    [[nodiscard]] std::string_view text(std::size_t from = 0, std::size_t to = 17) const {
        to = to < count ? to : count;
        return from < to ? std::string_view(digits + from, to - from) : std::string_view();
    }
};

Digits shortest_digits(double value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const char* at = buffer;
    Digits out;
    if (*at == '-') {
        out.negative = true;
        ++at;
    }
    for (; *at != 'e'; ++at)
        if (*at != '.') out.digits[out.count++] = *at;
    ++at;
    if (*at == '+') ++at; // from_chars takes a minus sign but no plus sign
    std::from_chars(at, result.ptr, out.exponent);
    return out;
}

void append_plain(std::string& out, const Digits& d) {
    if (d.negative) out += '-';
    const int point = d.exponent + 1; // digits before the decimal point
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += d.text();
    } else if (static_cast<std::size_t>(point) >= d.count) {
        out += d.text();
        out.append(static_cast<std::size_t>(point) - d.count, '0');
        out += ".0";
    } else {
        out += d.text(0, static_cast<std::size_t>(point));
        out += '.';
        out += d.text(static_cast<std::size_t>(point));
    }
}

} // namespace

std::string plain_float_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    std::string out;
    append_plain(out, shortest_digits(value));
    return out;
}

void append_json_float(std::string& out, double value) {
    const Digits d = shortest_digits(value);
    if (value == 0 || (d.exponent >= -5 && d.exponent <= 15)) {
        append_plain(out, d);
        return;
    }
    if (d.negative) out += '-';
    out += d.digits[0];
    if (d.count > 1) {
        out += '.';
        out += d.text(1);
    }
    out += d.exponent < 0 ? "e-" : "e+";
    char exponent[8];
    const auto written = std::to_chars(exponent, exponent + sizeof exponent, d.exponent < 0 ? -d.exponent : d.exponent);
    out.append(exponent, written.ptr);
}

} // namespace qarv
