// The window's field checks: how an edit's text becomes a number, and the message shown
// when it does not. Numbers always take a point as the decimal separator, whatever the
// user's locale, because the settings file and every typed threshold use one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrun {

//   " -12 " -> -12     "12abc", "", "0x1" -> nothing
std::optional<int32_t> ParseDecimalInt(std::string_view text);

//   "0.045" -> 0.045   "1e-3" -> 0.001   "0,5", "nan", "inf", "0x1p-3" -> nothing
// Surrounding blanks and a leading '+' are allowed; only finite numbers parse.
std::optional<double> ParseDecimalDouble(std::string_view text);

// The validation messages.
std::string EnterIntegerMessage();
std::string EnterNumberMessage();
std::string IntegerRangeMessage(int32_t low, int32_t high);
std::string NumberRangeMessage(double low, double high);

} // namespace kestrun
