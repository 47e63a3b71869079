#include "codec/json_number.h"

#include <locale.h>
#include <stdlib.h>

#include <cmath>
#include <algorithm>

#include "zeroize.h"

namespace velmora::codec {

namespace {

bool is_digit(std::uint8_t c) { return c >= '0' && c <= '9'; }

}  // namespace

bool json_number(std::span<const std::uint8_t> t, bool& integral, std::size_t& digits) {
    std::size_t i = 0;
    const std::size_t n = t.size();
    if (i < n && t[i] == '-') ++i;
    if (i == n || !is_digit(t[i])) return false;
    const std::size_t start = i;
    if (t[i] == '0') {
        ++i;
    } else {
        while (i < n && is_digit(t[i])) ++i;
    }
    digits = i - start;
    integral = true;
    if (i < n && t[i] == '.') {
        integral = false;
        if (++i == n || !is_digit(t[i])) return false;
        while (i < n && is_digit(t[i])) ++i;
    }
    if (i < n && (t[i] == 'e' || t[i] == 'E')) {
        integral = false;
        if (++i < n && (t[i] == '+' || t[i] == '-')) ++i;
        if (i == n || !is_digit(t[i])) return false;
        while (i < n && is_digit(t[i])) ++i;
    }
    return i == n;
}

std::size_t json_number_end(std::span<const std::uint8_t> t, std::size_t i) {
    while (i < t.size() && (is_digit(t[i]) || t[i] == '-' || t[i] == '+' || t[i] == '.' ||
                            t[i] == 'e' || t[i] == 'E'))
        ++i;
    return i;
}

bool json_number_finite(std::span<const std::uint8_t> t) {
    // strtod in the C locale, whatever the interpreter's LC_NUMERIC says; it
    // rounds correctly from any number of digits. It needs a terminated copy,
    // which is part of the sealed text and so wipes itself.
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
    if (c_locale == nullptr || t.empty() || t.size() > (std::size_t{1} << 40)) return false;
    ZeroizingBuffer text(t.size() + 1);
    std::copy(t.begin(), t.end(), text.data());
    return std::isfinite(strtod_l(reinterpret_cast<const char*>(text.data()), nullptr, c_locale));
}

}  // namespace velmora::codec
