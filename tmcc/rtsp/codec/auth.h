// HTTP authentication as RTSP and the cameras' web services use it:
// WWW-Authenticate challenges (RFC 7235 grammar) and the Authorization answer
// for Basic (RFC 7617) and Digest with MD5, MD5-sess, SHA-256 or SHA-256-sess
// (RFC 2617 / RFC 7616; with qop=auth, or the RFC 2069 form when the server
// offers no qop). Basic hands the password over readable to anyone on the
// path, so it is answered only where the caller allows it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qrv::tmcc::rtsp {

inline constexpr size_t kMaxChallenges = 16;
inline constexpr size_t kMaxAuthParams = 32;         // per challenge
inline constexpr size_t kMaxAuthParamLength = 1024;  // one value, unescaped

enum class AuthScheme { kBasic, kDigest, kOther };
enum class DigestAlgorithm { kMd5, kMd5Sess, kSha256, kSha256Sess, kOther };

struct Challenge {
  AuthScheme scheme = AuthScheme::kOther;
  std::string schemeName;
  std::optional<std::string> realm;
  std::string nonce;
  std::optional<std::string> opaque;
  DigestAlgorithm algorithm = DigestAlgorithm::kMd5;
  std::string algorithmName;  // as the server wrote it; empty when not given
  bool qopOffered = false;    // a qop parameter was present
  bool qopAuth = false;       // ... and offered "auth"
  bool stale = false;
};

enum class AuthError {
  kNone,
  kMalformed,  // broken quoting, a parameter without '=', no scheme
  kTooMany,    // over kMaxChallenges challenges or kMaxAuthParams parameters
  kTooLong,    // a parameter value over kMaxAuthParamLength
};

struct ChallengesResult {
  AuthError error = AuthError::kNone;
  std::vector<Challenge> challenges;  // in order, every scheme
  bool ok() const { return error == AuthError::kNone; }
};

// Every challenge of one or more WWW-Authenticate values (one header may hold
// several challenges, and a response several headers).
ChallengesResult ParseChallenges(std::span<const std::string_view> values);
ChallengesResult ParseChallenges(std::string_view value);

// Whether this client can answer the challenge: Basic, or Digest with a nonce,
// a realm, one of the algorithms above, and no qop or one offering auth.
bool Answerable(const Challenge& c);

// The strongest answerable challenge: Digest with SHA-256 before MD5, then
// Basic when allowBasic.
std::optional<Challenge> ChooseChallenge(std::span<const Challenge> challenges, bool allowBasic);

// "Basic base64(user:password)"; nothing when user holds a ':', which would
// move the split, or either holds a control character.
std::optional<std::string> BasicAuthorization(std::string_view user, std::string_view password);

struct DigestInput {
  std::string_view user;
  std::string_view password;
  std::string_view method;  // "DESCRIBE"
  std::string_view uri;     // exactly as on the request line
  std::string_view cnonce;  // used with qop=auth and MD5-sess
  uint32_t nonceCount = 1;  // nc, for qop=auth
};

// "Digest username=..., response=..." for the challenge; nothing when the
// challenge is not answerable, or a value holds a control character (it would
// end the header line), or a cnonce is needed and empty or holds a quote.
std::optional<std::string> DigestAuthorization(const Challenge& challenge,
                                               const DigestInput& input);

// 32 lower-case hex digits of MD5(text); empty if the crypto library failed.
std::string Md5Hex(std::string_view text);
// 64 lower-case hex digits of SHA-256(text); empty if the crypto library failed.
std::string Sha256Hex(std::string_view text);

// The client side of a login over several requests: the chosen challenge,
// its nonce count, and whether the credentials were already refused.
class Authenticator {
 public:
  // allowBasic: the password may go out in Basic (readable on the path) when
  // the server offers nothing better.
  Authenticator(std::string user, std::string password, bool allowBasic);

  enum class Verdict {
    kRetry,         // answer the new challenge: send the request again
    kRefused,       // the same challenge came back after an answer: wrong credentials
    kUnsupported,   // no challenge this client can answer (an unknown scheme or algorithm)
    kBasicRefused,  // only Basic was offered, and it is not allowed here
  };
  // The WWW-Authenticate values of a 401. A caller still bounds its retries:
  // a server that hands out a new nonce with every 401 reads as kRetry.
  Verdict OnChallenge(std::span<const std::string_view> values);

  // The Authorization value for the next request, or nothing before any
  // challenge (the first request goes without). Each call counts one use of
  // the nonce.
  std::optional<std::string> Authorization(std::string_view method, std::string_view uri);

  bool HasChallenge() const { return challenge_.has_value(); }

 private:
  std::string user_;
  std::string password_;
  bool allowBasic_ = false;
  std::optional<Challenge> challenge_;
  std::string cnonce_;
  uint32_t nonceCount_ = 0;
  bool answered_ = false;  // an answer to challenge_ was sent
};

}  // namespace qrv::tmcc::rtsp
