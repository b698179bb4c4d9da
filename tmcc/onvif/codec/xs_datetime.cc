#include "tmcc/onvif/codec/xs_datetime.h"

#include <cstdio>

namespace qrv::tmcc::onvif {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (the well-known
// era-based conversion: 400-year eras of 146097 days).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Exactly n digits at text[i], advancing i.
bool Digits(std::string_view text, size_t& i, size_t n, int& out) {
  if (text.size() - i < n) return false;
  out = 0;
  for (size_t k = 0; k < n; ++k) {
    const char c = text[i + k];
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  i += n;
  return true;
}

bool Expect(std::string_view text, size_t& i, char c) {
  if (i >= text.size() || text[i] != c) return false;
  ++i;
  return true;
}

}  // namespace

std::optional<int64_t> UnixFromCivil(const CivilTime& t) {
  if (t.year < 1 || t.year > 9999 || t.month < 1 || t.month > 12 || t.day < 1 ||
      t.day > DaysInMonth(t.year, t.month) || t.hour < 0 || t.hour > 23 || t.minute < 0 ||
      t.minute > 59 || t.second < 0 || t.second > 60) {
    return std::nullopt;
  }
  return DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

CivilTime CivilFromUnix(int64_t seconds) {
  static const int64_t kMin = *UnixFromCivil({1, 1, 1, 0, 0, 0});
  static const int64_t kMax = *UnixFromCivil({9999, 12, 31, 23, 59, 59});
  if (seconds < kMin) seconds = kMin;
  if (seconds > kMax) seconds = kMax;
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // The inverse of DaysFromCivil.
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  CivilTime t;
  t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  t.year = static_cast<int>(yoe + era * 400 + (t.month <= 2));
  t.hour = static_cast<int>(rest / 3600);
  t.minute = static_cast<int>(rest / 60 % 60);
  t.second = static_cast<int>(rest % 60);
  return t;
}

std::optional<int64_t> ParseDateTime(std::string_view text) {
  size_t i = 0;
  CivilTime t;
  if (!Digits(text, i, 4, t.year) || !Expect(text, i, '-') || !Digits(text, i, 2, t.month) ||
      !Expect(text, i, '-') || !Digits(text, i, 2, t.day) || !Expect(text, i, 'T') ||
      !Digits(text, i, 2, t.hour) || !Expect(text, i, ':') || !Digits(text, i, 2, t.minute) ||
      !Expect(text, i, ':') || !Digits(text, i, 2, t.second)) {
    return std::nullopt;
  }
  if (i < text.size() && text[i] == '.') {
    const size_t start = ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 12) ++i;
    if (i == start) return std::nullopt;
  }
  int64_t offset = 0;
  if (i < text.size() && text[i] == 'Z') {
    ++i;
  } else if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    const int sign = text[i] == '+' ? 1 : -1;
    ++i;
    int hours = 0, minutes = 0;
    if (!Digits(text, i, 2, hours) || !Expect(text, i, ':') || !Digits(text, i, 2, minutes) ||
        hours > 14 || minutes > 59) {
      return std::nullopt;
    }
    offset = sign * (hours * 3600 + minutes * 60);
  }
  if (i != text.size()) return std::nullopt;
  auto local = UnixFromCivil(t);
  if (!local) return std::nullopt;
  return *local - offset;
}

std::string FormatDateTime(int64_t seconds) {
  const CivilTime t = CivilFromUnix(seconds);
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  return buffer;
}

}  // namespace qrv::tmcc::onvif
