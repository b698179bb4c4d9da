// Challenge-response login proofs (HMAC-SHA256 keyed by the password) and
// nonce generation. The password itself never goes on the wire.
#pragma once

#include <string_view>

#include "tmcc/common/codec/messages.h"

namespace qrv::tmcc::protocol {

// The client's proof: HMAC-SHA256 keyed by the password over
// server nonce (32) | client nonce (32) | purpose (1) | stream type (1) | user bytes.
Proof ComputeClientProof(std::string_view password, const Nonce& serverNonce,
                         const Nonce& clientNonce, Purpose purpose, uint8_t streamType,
                         std::string_view user);

// The device's proof that it knows the password too:
// HMAC-SHA256 keyed by the password over client nonce (32) | server nonce (32).
Proof ComputeServerProof(std::string_view password, const Nonce& clientNonce,
                         const Nonce& serverNonce);

// Constant-time comparison of two proofs.
bool ProofsEqual(const Proof& a, const Proof& b);

// A fresh random nonce from the system's cryptographic generator; false if the
// generator failed (the nonce must not be used then).
bool MakeNonce(Nonce& out);

}  // namespace qrv::tmcc::protocol
