// The cryptographic primitives the login proofs need, from the platform's own
// crypto library (one implementation file per platform, chosen by the build).
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace qrv::tmcc::protocol {

inline constexpr size_t kHmacSha256Bytes = 32;
inline constexpr size_t kMd5Bytes = 16;
inline constexpr size_t kSha1Bytes = 20;
inline constexpr size_t kSha256Bytes = 32;

// HMAC-SHA256 of data keyed by key (an empty key is valid) into out; false on
// a failure of the crypto library (out is then zeroed).
bool HmacSha256(std::string_view key, std::span<const uint8_t> data,
                std::span<uint8_t, kHmacSha256Bytes> out);

// Plain digests, for the standard protocols that still ask for them (HTTP and
// RTSP Digest authentication, WS-Security password digests). False on a
// failure of the crypto library (out is then zeroed).
bool Md5(std::span<const uint8_t> data, std::span<uint8_t, kMd5Bytes> out);
bool Sha1(std::span<const uint8_t> data, std::span<uint8_t, kSha1Bytes> out);
bool Sha256(std::span<const uint8_t> data, std::span<uint8_t, kSha256Bytes> out);

// Fills out from the system's cryptographic generator; false if it failed.
bool RandomBytes(std::span<uint8_t> out);

// Compares a and b (same size) in time that does not depend on their contents.
bool ConstantTimeEqual(std::span<const uint8_t> a, std::span<const uint8_t> b);

}  // namespace qrv::tmcc::protocol
