// Number parsing for threshold texts: a point as the decimal separator whatever the
// locale, the whole text consumed, no exceptions.
#pragma once

#include <string_view>

namespace kestrun {

// Default thresholds of the three detectors.
constexpr double DEFAULT_ENERGY_THRESHOLD = 0.045;
constexpr double DEFAULT_GLITCH_THRESHOLD = 0.0015;
constexpr double DEFAULT_GLITCH_PREFILTER = 0.005;
constexpr double DEFAULT_SPEECH_THRESHOLD = 0.5;

// True and *value set when text is a finite decimal number from 0 to 1 inclusive
// ("0.045", "1", "5e-3"); false for anything else ("", " 0.1", "0,1", "1.5", "nan").
bool ParseThreshold(std::string_view text, double* value);

} // namespace kestrun
