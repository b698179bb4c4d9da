#include "tmcc/protocol/auth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <vector>

namespace qrv::tmcc::protocol {
namespace {

Proof Hmac(std::string_view key, const std::vector<uint8_t>& data) {
  Proof out{};
  unsigned int length = 0;
  // An empty password is a valid key; HMAC wants a non-null pointer for it.
  static const unsigned char kEmpty = 0;
  const void* keyBytes = key.empty() ? static_cast<const void*>(&kEmpty) : key.data();
  if (HMAC(EVP_sha256(), keyBytes, static_cast<int>(key.size()), data.data(), data.size(),
           out.data(), &length) == nullptr ||
      length != out.size()) {
    out.fill(0);
  }
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
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool MakeNonce(Nonce& out) {
  return RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
}

}  // namespace qrv::tmcc::protocol
