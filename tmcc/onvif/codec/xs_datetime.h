// xs:dateTime and civil UTC times, as seconds since the Unix epoch: the
// WS-Security Created stamp, device clocks, event and subscription times.
// Pure; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qrv::tmcc::onvif {

struct CivilTime {
  int year = 1970;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// Seconds since the epoch of a UTC civil time, or nothing when a field is out
// of range (years 1 to 9999; a leap second 60 counts as the next second).
std::optional<int64_t> UnixFromCivil(const CivilTime& t);
// The civil UTC time of seconds since the epoch (clamped to years 1 to 9999).
CivilTime CivilFromUnix(int64_t seconds);

// Parses "YYYY-MM-DDThh:mm:ss[.fff][Z|+hh:mm|-hh:mm]" to whole seconds
// since the epoch (fraction dropped). A time without zone is taken as UTC:
// devices that omit it mean their UTC clock.
std::optional<int64_t> ParseDateTime(std::string_view text);

// "YYYY-MM-DDThh:mm:ssZ".
std::string FormatDateTime(int64_t seconds);

}  // namespace qrv::tmcc::onvif
