#include "tmcc/common/long_address.h"

#include <charconv>

#include "tmcc/rtsp/codec/text.h"

namespace qrv::tmcc {

LongAddresses& LongAddresses::Instance() {
  static LongAddresses book;
  return book;
}

LongAddresses::Registered LongAddresses::Register(std::string_view address) {
  Registered out;
  if (address.size() > kMaxLongAddressBytes) {
    out.refusal = Refusal::kTooLong;
    return out;
  }
  const bool url = rtsp::StartsWithIgnoreCase(address, "rtsp://") ||
                   rtsp::StartsWithIgnoreCase(address, "http://");
  bool printable = true;
  for (char c : address) printable = printable && c > ' ' && c <= '~';
  if (!url || !printable) {
    out.refusal = Refusal::kMalformed;
    return out;
  }
  std::lock_guard lock(mutex_);
  auto known = numbers_.find(address);
  if (known != numbers_.end()) {
    out.token = "@" + std::to_string(known->second);
    return out;
  }
  if (addresses_.size() >= capacity_) {
    out.refusal = Refusal::kFull;
    return out;
  }
  addresses_.emplace_back(address);
  const size_t number = addresses_.size();
  numbers_.emplace(addresses_.back(), number);
  out.token = "@" + std::to_string(number);
  return out;
}

std::optional<std::string> LongAddresses::Resolve(std::string_view token) const {
  if (!IsToken(token)) return std::nullopt;
  size_t number = 0;
  auto [end, ec] = std::from_chars(token.data() + 1, token.data() + token.size(), number);
  if (ec != std::errc() || end != token.data() + token.size()) return std::nullopt;
  std::lock_guard lock(mutex_);
  if (number == 0 || number > addresses_.size()) return std::nullopt;
  return addresses_[number - 1];
}

bool LongAddresses::IsToken(std::string_view text) {
  if (text.size() < 2 || text.size() > 8 || text[0] != '@') return false;
  for (char c : text.substr(1))
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace qrv::tmcc
