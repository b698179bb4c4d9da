// The login crypto through OpenSSL's libcrypto.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>

#include "tmcc/common/codec/crypto.h"

namespace qrv::tmcc::protocol {

bool HmacSha256(std::string_view key, std::span<const uint8_t> data,
                std::span<uint8_t, kHmacSha256Bytes> out) {
  unsigned int length = 0;
  // An empty password is a valid key; HMAC wants a non-null pointer for it.
  static const unsigned char kEmpty = 0;
  const void* keyBytes = key.empty() ? static_cast<const void*>(&kEmpty) : key.data();
  static const uint8_t kNoData = 0;
  const uint8_t* dataBytes = data.empty() ? &kNoData : data.data();
  if (HMAC(EVP_sha256(), keyBytes, static_cast<int>(key.size()), dataBytes, data.size(), out.data(),
           &length) == nullptr ||
      length != out.size()) {
    std::fill(out.begin(), out.end(), uint8_t{0});
    return false;
  }
  return true;
}

namespace {

bool Digest(const EVP_MD* md, std::span<const uint8_t> data, std::span<uint8_t> out) {
  static const uint8_t kNoData = 0;
  unsigned int length = 0;
  if (EVP_Digest(data.empty() ? &kNoData : data.data(), data.size(), out.data(), &length, md,
                 nullptr) != 1 ||
      length != out.size()) {
    std::fill(out.begin(), out.end(), uint8_t{0});
    return false;
  }
  return true;
}

}  // namespace

bool Md5(std::span<const uint8_t> data, std::span<uint8_t, kMd5Bytes> out) {
  return Digest(EVP_md5(), data, out);
}

bool Sha1(std::span<const uint8_t> data, std::span<uint8_t, kSha1Bytes> out) {
  return Digest(EVP_sha1(), data, out);
}

bool Sha256(std::span<const uint8_t> data, std::span<uint8_t, kSha256Bytes> out) {
  return Digest(EVP_sha256(), data, out);
}

bool RandomBytes(std::span<uint8_t> out) {
  return RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
}

bool ConstantTimeEqual(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace qrv::tmcc::protocol
