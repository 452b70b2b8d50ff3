// Field parsing and validation messages for the window's data exchange.
#include "Exchange.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "Text.h"

namespace kestrun {

namespace {

std::string_view Trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Drops one leading '+', which from_chars does not take; "+-1" stays refused.
std::string_view SkipPlus(std::string_view text) {
    if (text.size() > 1 && text[0] == '+' && text[1] != '-' && text[1] != '+') {
        text.remove_prefix(1);
    }
    return text;
}

std::string FormatBound(double value) {
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    return ec == std::errc() ? std::string(buf, end) : std::string();
}

} // namespace

std::optional<int32_t> ParseDecimalInt(std::string_view text) {
    text = SkipPlus(Trim(text));
    int32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> ParseDecimalDouble(std::string_view text) {
    text = SkipPlus(Trim(text));
    double value = 0;
    // chars_format::general takes fixed and scientific forms but never hex.
    const auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::string EnterIntegerMessage() {
    return Tr("Введите целое число.");
}

std::string EnterNumberMessage() {
    return Tr("Введите число.");
}

std::string IntegerRangeMessage(int32_t low, int32_t high) {
    return Fill(Tr("Введите целое число от %1 до %2."),
                {std::to_string(low), std::to_string(high)});
}

std::string NumberRangeMessage(double low, double high) {
    return Fill(Tr("Введите число от %1 до %2."), {FormatBound(low), FormatBound(high)});
}

} // namespace kestrun
