// Device addresses longer than the login record's 31-byte field. A host
// registers such an address once and passes the short token it gets back
// ("@1", "@2", ...) wherever the record wants the address; every place that
// reads a device's target resolves the token to the address again.
//
// Bounded: at most kMaxLongAddresses addresses of at most kMaxLongAddressBytes
// bytes each, kept until the library unloads (a camera's address is registered
// once, and a token in use must never come to mean another address).
// Registering an address already held gives its token again.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qrv::tmcc {

inline constexpr size_t kMaxLongAddresses = 256;
inline constexpr size_t kMaxLongAddressBytes = 1024;

class LongAddresses {
 public:
  enum class Refusal { kNone, kMalformed, kTooLong, kFull };
  struct Registered {
    Refusal refusal = Refusal::kNone;
    std::string token;  // when refusal is kNone
  };

  explicit LongAddresses(size_t capacity = kMaxLongAddresses) : capacity_(capacity) {}

  // The process-wide book the exported functions use.
  static LongAddresses& Instance();

  // The token for address: printable ASCII without spaces, at most
  // kMaxLongAddressBytes bytes, written as an rtsp:// or http:// URL (whether
  // its parts make a target is the caller's check). Threading: any thread; a
  // short lock.
  Registered Register(std::string_view address);
  // The address behind a token, if it is one this book gave; nothing for any
  // other text. Threading: as Register.
  std::optional<std::string> Resolve(std::string_view token) const;

  // Whether text is written as a token ('@' and decimal digits), given or not.
  static bool IsToken(std::string_view text);

 private:
  size_t capacity_;
  mutable std::mutex mutex_;
  std::vector<std::string> addresses_;                  // token "@N" is addresses_[N - 1]
  std::map<std::string, size_t, std::less<>> numbers_;  // address -> N
};

}  // namespace qrv::tmcc
