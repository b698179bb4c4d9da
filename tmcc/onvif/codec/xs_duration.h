// xs:duration, as ONVIF uses it for timeouts and subscription lifetimes
// ("PT10S", "PT1M30.5S", "P1DT2H"). Pure; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qrv::tmcc::onvif {

// The longest duration we accept (about a year): longer ones are no timeout
// or lifetime any device means, and the bound keeps every sum in range.
inline constexpr int64_t kMaxDurationMs = int64_t{366} * 24 * 3600 * 1000;

// Milliseconds in a duration (fractions of a millisecond dropped), or
// nothing when text is not one we accept: negative durations, years and
// months (no fixed length, unless zero), more than kMaxDurationMs.
std::optional<int64_t> ParseDuration(std::string_view text);

// "PT<seconds>S", with a decimal fraction when ms is not whole seconds;
// negative values are written as zero.
std::string FormatDuration(int64_t ms);

}  // namespace qrv::tmcc::onvif
