#include "tmcc/onvif/codec/xs_duration.h"

namespace qrv::tmcc::onvif {

namespace {

// Each number's digits are bounded so that no multiplication overflows; the
// total is checked against kMaxDurationMs after each component.
constexpr size_t kMaxDigits = 12;
constexpr size_t kMaxFractionDigits = 9;

}  // namespace

std::optional<int64_t> ParseDuration(std::string_view text) {
  if (text.empty() || text[0] != 'P') return std::nullopt;
  size_t i = 1;
  bool inTime = false;
  bool any = false;
  bool timeAny = false;
  // Designators must come in this order, each at most once.
  constexpr std::string_view kDateOrder = "YMD";
  constexpr std::string_view kTimeOrder = "HMS";
  size_t next = 0;
  int64_t total = 0;
  while (i < text.size()) {
    if (text[i] == 'T') {
      if (inTime) return std::nullopt;
      inTime = true;
      next = 0;
      ++i;
      continue;
    }
    int64_t value = 0;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (++digits > kMaxDigits) return std::nullopt;
      value = value * 10 + (text[i] - '0');
      ++i;
    }
    int64_t fractionMs = 0;
    bool fraction = false;
    if (i < text.size() && text[i] == '.') {
      fraction = true;
      ++i;
      size_t fractionDigits = 0;
      int64_t scale = 100;
      while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (++fractionDigits > kMaxFractionDigits) return std::nullopt;
        fractionMs += (text[i] - '0') * scale;
        scale /= 10;
        ++i;
      }
      if (fractionDigits == 0) return std::nullopt;
    }
    if (digits == 0 || i >= text.size()) return std::nullopt;
    const std::string_view order = inTime ? kTimeOrder : kDateOrder;
    const size_t at = order.find(text[i], next);
    if (at == std::string_view::npos) return std::nullopt;
    // Only seconds may have a fraction.
    if (fraction && !(inTime && text[i] == 'S')) return std::nullopt;
    next = at + 1;
    ++i;
    int64_t unitMs = 0;
    if (!inTime) {
      if (order[at] != 'D') {
        if (value != 0) return std::nullopt;
      } else {
        unitMs = int64_t{24} * 3600 * 1000;
      }
    } else {
      unitMs = order[at] == 'H' ? 3600 * 1000 : order[at] == 'M' ? 60 * 1000 : 1000;
    }
    if (value > kMaxDurationMs / (unitMs == 0 ? 1 : unitMs)) return std::nullopt;
    total += value * unitMs + fractionMs;
    if (total > kMaxDurationMs) return std::nullopt;
    any = true;
    if (inTime) timeAny = true;
  }
  if (!any || (inTime && !timeAny)) return std::nullopt;
  return total;
}

std::string FormatDuration(int64_t ms) {
  if (ms < 0) ms = 0;
  std::string out = "PT" + std::to_string(ms / 1000);
  if (const int64_t rest = ms % 1000; rest != 0) {
    std::string fraction = std::to_string(rest);
    fraction.insert(0, 3 - fraction.size(), '0');
    while (fraction.back() == '0') fraction.pop_back();
    out += '.';
    out += fraction;
  }
  out += 'S';
  return out;
}

}  // namespace qrv::tmcc::onvif
