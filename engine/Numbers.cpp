// Threshold parsing.
#include "Numbers.h"

#include <charconv>
#include <cmath>

namespace kestrun {

bool ParseThreshold(std::string_view text, double* value) {
    double v = 0.0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(first, last, v, std::chars_format::general);
    if (ec != std::errc{} || ptr != last || !std::isfinite(v) || v < 0.0 || v > 1.0) {
        return false;
    }
    *value = v;
    return true;
}

} // namespace kestrun
