#include "tmcc/native/codec/auth.h"

#include <vector>

#include "tmcc/common/codec/crypto.h"

namespace qrv::tmcc::protocol {
namespace {

Proof Hmac(std::string_view key, const std::vector<uint8_t>& data) {
  Proof out{};
  static_assert(sizeof(Proof) == kHmacSha256Bytes);
  HmacSha256(key, data, std::span<uint8_t, kHmacSha256Bytes>(out.data(), out.size()));
  return out;
}

}  // namespace

Proof ComputeClientProof(std::string_view password, const Nonce& serverNonce,
                         const Nonce& clientNonce, Purpose purpose, uint8_t streamType,
                         std::string_view user) {
  std::vector<uint8_t> data;
  data.reserve(2 * kNonceSize + 2 + user.size());
  data.insert(data.end(), serverNonce.begin(), serverNonce.end());
  data.insert(data.end(), clientNonce.begin(), clientNonce.end());
  data.push_back(static_cast<uint8_t>(purpose));
  data.push_back(streamType);
  data.insert(data.end(), user.begin(), user.end());
  return Hmac(password, data);
}

Proof ComputeServerProof(std::string_view password, const Nonce& clientNonce,
                         const Nonce& serverNonce) {
  std::vector<uint8_t> data;
  data.reserve(2 * kNonceSize);
  data.insert(data.end(), clientNonce.begin(), clientNonce.end());
  data.insert(data.end(), serverNonce.begin(), serverNonce.end());
  return Hmac(password, data);
}

bool ProofsEqual(const Proof& a, const Proof& b) {
  return ConstantTimeEqual(a, b);
}

bool MakeNonce(Nonce& out) {
  return RandomBytes(out);
}

}  // namespace qrv::tmcc::protocol
