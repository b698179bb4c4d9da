// The login crypto through Windows CNG (bcrypt.dll).
#include <windows.h>
// bcrypt.h needs the Windows types first.
#include <bcrypt.h>

#include <algorithm>

#include "tmcc/common/codec/crypto.h"

namespace qrv::tmcc::protocol {
namespace {

bool Succeeded(NTSTATUS status) {
  return status >= 0;
}

// The HMAC-SHA256 provider, opened once for the process (thread-safe to share).
BCRYPT_ALG_HANDLE HmacProvider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!Succeeded(BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr,
                                               BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
      handle = nullptr;
    }
    return handle;
  }();
  return provider;
}

// A plain hash provider, opened once per algorithm for the process.
BCRYPT_ALG_HANDLE OpenHash(LPCWSTR algorithm) {
  BCRYPT_ALG_HANDLE handle = nullptr;
  if (!Succeeded(BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, 0))) handle = nullptr;
  return handle;
}

bool Digest(BCRYPT_ALG_HANDLE provider, std::span<const uint8_t> data, std::span<uint8_t> out) {
  std::fill(out.begin(), out.end(), uint8_t{0});
  if (provider == nullptr) return false;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!Succeeded(BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0))) return false;
  bool ok = data.empty() || Succeeded(BCryptHashData(hash, const_cast<UCHAR*>(data.data()),
                                                     static_cast<ULONG>(data.size()), 0));
  ok = ok && Succeeded(BCryptFinishHash(hash, out.data(), static_cast<ULONG>(out.size()), 0));
  BCryptDestroyHash(hash);
  if (!ok) std::fill(out.begin(), out.end(), uint8_t{0});
  return ok;
}

}  // namespace

bool Md5(std::span<const uint8_t> data, std::span<uint8_t, kMd5Bytes> out) {
  static const BCRYPT_ALG_HANDLE provider = OpenHash(BCRYPT_MD5_ALGORITHM);
  return Digest(provider, data, out);
}

bool Sha1(std::span<const uint8_t> data, std::span<uint8_t, kSha1Bytes> out) {
  static const BCRYPT_ALG_HANDLE provider = OpenHash(BCRYPT_SHA1_ALGORITHM);
  return Digest(provider, data, out);
}

bool Sha256(std::span<const uint8_t> data, std::span<uint8_t, kSha256Bytes> out) {
  static const BCRYPT_ALG_HANDLE provider = OpenHash(BCRYPT_SHA256_ALGORITHM);
  return Digest(provider, data, out);
}

bool HmacSha256(std::string_view key, std::span<const uint8_t> data,
                std::span<uint8_t, kHmacSha256Bytes> out) {
  std::fill(out.begin(), out.end(), uint8_t{0});
  BCRYPT_ALG_HANDLE provider = HmacProvider();
  if (provider == nullptr) return false;
  // An empty password is a valid key; CNG wants a non-null pointer for it.
  static UCHAR empty = 0;
  auto* keyBytes = key.empty() ? &empty : reinterpret_cast<UCHAR*>(const_cast<char*>(key.data()));
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!Succeeded(BCryptCreateHash(provider, &hash, nullptr, 0, keyBytes,
                                  static_cast<ULONG>(key.size()), 0))) {
    return false;
  }
  bool ok = data.empty() || Succeeded(BCryptHashData(hash, const_cast<UCHAR*>(data.data()),
                                                     static_cast<ULONG>(data.size()), 0));
  ok = ok && Succeeded(BCryptFinishHash(hash, out.data(), static_cast<ULONG>(out.size()), 0));
  BCryptDestroyHash(hash);
  if (!ok) std::fill(out.begin(), out.end(), uint8_t{0});
  return ok;
}

bool RandomBytes(std::span<uint8_t> out) {
  return Succeeded(BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()),
                                   BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

bool ConstantTimeEqual(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  if (a.size() != b.size()) return false;
  volatile uint8_t difference = 0;
  for (size_t i = 0; i < a.size(); ++i) difference = difference | (a[i] ^ b[i]);
  return difference == 0;
}

}  // namespace qrv::tmcc::protocol
