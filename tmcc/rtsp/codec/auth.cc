#include "tmcc/rtsp/codec/auth.h"

#include <array>
#include <cstdio>

#include "tmcc/common/codec/base64.h"
#include "tmcc/common/codec/crypto.h"
#include "tmcc/rtsp/codec/text.h"

namespace qrv::tmcc::rtsp {

namespace {

// A cursor over one header value, after RFC 7235:
//   challenge = auth-scheme [ 1*SP ( token68 / #auth-param ) ]
//   auth-param = token BWS "=" BWS ( token / quoted-string )
// Challenges and parameters are both comma-separated, so a token not followed
// by '=' after a comma starts the next challenge.
class Cursor {
 public:
  explicit Cursor(std::string_view s) : s_(s) {}

  bool AtEnd() const { return pos_ >= s_.size(); }
  char Peek() const { return AtEnd() ? '\0' : s_[pos_]; }
  void Skip() { ++pos_; }
  size_t pos() const { return pos_; }
  void Rewind(size_t pos) { pos_ = pos; }

  void SkipSpace() {
    while (!AtEnd() && (s_[pos_] == ' ' || s_[pos_] == '\t')) ++pos_;
  }
  void SkipSpaceAndCommas() {
    while (!AtEnd() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == ',')) ++pos_;
  }
  std::string_view Token() {
    const size_t start = pos_;
    while (!AtEnd() && IsTokenChar(s_[pos_])) ++pos_;
    return s_.substr(start, pos_ - start);
  }
  // After the opening quote: the unescaped content up to the closing quote.
  AuthError Quoted(std::string& out) {
    ++pos_;
    for (;;) {
      if (AtEnd()) return AuthError::kMalformed;
      char c = s_[pos_++];
      if (c == '"') return AuthError::kNone;
      if (c == '\\') {
        if (AtEnd()) return AuthError::kMalformed;
        c = s_[pos_++];
      }
      const auto u = static_cast<unsigned char>(c);
      if ((u < 0x20 && c != '\t') || u == 0x7f) return AuthError::kMalformed;
      if (out.size() == kMaxAuthParamLength) return AuthError::kTooLong;
      out += c;
    }
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
};

void ApplyParam(std::string_view name, std::string value, Challenge& c) {
  if (EqualsIgnoreCase(name, "realm")) {
    if (!c.realm) c.realm = std::move(value);
  } else if (EqualsIgnoreCase(name, "nonce")) {
    if (c.nonce.empty()) c.nonce = std::move(value);
  } else if (EqualsIgnoreCase(name, "opaque")) {
    if (!c.opaque) c.opaque = std::move(value);
  } else if (EqualsIgnoreCase(name, "algorithm")) {
    c.algorithm = EqualsIgnoreCase(value, "MD5")            ? DigestAlgorithm::kMd5
                  : EqualsIgnoreCase(value, "MD5-sess")     ? DigestAlgorithm::kMd5Sess
                  : EqualsIgnoreCase(value, "SHA-256")      ? DigestAlgorithm::kSha256
                  : EqualsIgnoreCase(value, "SHA-256-sess") ? DigestAlgorithm::kSha256Sess
                                                            : DigestAlgorithm::kOther;
    c.algorithmName = std::move(value);
  } else if (EqualsIgnoreCase(name, "qop")) {
    c.qopOffered = true;
    // A comma-separated list inside the quotes: "auth,auth-int".
    std::string_view list = value;
    while (!list.empty()) {
      const size_t comma = list.find(',');
      if (EqualsIgnoreCase(TrimWhitespace(list.substr(0, comma)), "auth")) c.qopAuth = true;
      if (comma == std::string_view::npos) break;
      list.remove_prefix(comma + 1);
    }
  } else if (EqualsIgnoreCase(name, "stale")) {
    c.stale = EqualsIgnoreCase(value, "true");
  }
}

AuthError ParseInto(std::string_view value, std::vector<Challenge>& out) {
  Cursor in(value);
  for (;;) {
    in.SkipSpaceAndCommas();
    if (in.AtEnd()) return AuthError::kNone;
    const std::string_view scheme = in.Token();
    if (scheme.empty()) return AuthError::kMalformed;
    if (out.size() == kMaxChallenges) return AuthError::kTooMany;
    Challenge c;
    c.schemeName = std::string(scheme);
    c.scheme = EqualsIgnoreCase(scheme, "Basic")    ? AuthScheme::kBasic
               : EqualsIgnoreCase(scheme, "Digest") ? AuthScheme::kDigest
                                                    : AuthScheme::kOther;
    if (!in.AtEnd() && in.Peek() != ' ' && in.Peek() != '\t' && in.Peek() != ',')
      return AuthError::kMalformed;
    size_t params = 0;
    for (;;) {
      in.SkipSpaceAndCommas();
      if (in.AtEnd()) break;
      const size_t start = in.pos();
      const std::string_view name = in.Token();
      if (name.empty()) return AuthError::kMalformed;
      in.SkipSpace();
      if (in.Peek() != '=') {
        // A token without '=' is the next challenge's scheme.
        in.Rewind(start);
        break;
      }
      in.Skip();
      in.SkipSpace();
      std::string v;
      if (in.Peek() == '"') {
        if (const AuthError e = in.Quoted(v); e != AuthError::kNone) return e;
      } else {
        const std::string_view t = in.Token();
        if (t.empty()) {
          // token68 ("abc==") of a scheme this client does not use.
          while (in.Peek() == '=') in.Skip();
        }
        if (t.size() > kMaxAuthParamLength) return AuthError::kTooLong;
        v = std::string(t);
      }
      if (++params > kMaxAuthParams) return AuthError::kTooMany;
      ApplyParam(name, std::move(v), c);
      in.SkipSpace();
      if (!in.AtEnd() && in.Peek() != ',') return AuthError::kMalformed;
    }
    out.push_back(std::move(c));
  }
}

std::string Hex(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// A quoted-string with '"' and '\' escaped.
std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace

ChallengesResult ParseChallenges(std::span<const std::string_view> values) {
  ChallengesResult r;
  for (std::string_view v : values) {
    r.error = ParseInto(v, r.challenges);
    if (r.error != AuthError::kNone) {
      r.challenges.clear();
      return r;
    }
  }
  return r;
}

ChallengesResult ParseChallenges(std::string_view value) {
  return ParseChallenges(std::span<const std::string_view>(&value, 1));
}

bool Answerable(const Challenge& c) {
  if (c.scheme == AuthScheme::kBasic) return true;
  return c.scheme == AuthScheme::kDigest && !c.nonce.empty() && c.realm.has_value() &&
         c.algorithm != DigestAlgorithm::kOther && (!c.qopOffered || c.qopAuth);
}

namespace {

// Higher is stronger; 0 is not to be answered.
int Strength(const Challenge& c, bool allowBasic) {
  if (!Answerable(c)) return 0;
  if (c.scheme == AuthScheme::kBasic) return allowBasic ? 1 : 0;
  const bool sha256 =
      c.algorithm == DigestAlgorithm::kSha256 || c.algorithm == DigestAlgorithm::kSha256Sess;
  return sha256 ? 3 : 2;
}

bool IsSha256(DigestAlgorithm a) {
  return a == DigestAlgorithm::kSha256 || a == DigestAlgorithm::kSha256Sess;
}

const char* AlgorithmName(DigestAlgorithm a) {
  switch (a) {
    case DigestAlgorithm::kMd5Sess:
      return "MD5-sess";
    case DigestAlgorithm::kSha256:
      return "SHA-256";
    case DigestAlgorithm::kSha256Sess:
      return "SHA-256-sess";
    default:
      return "MD5";
  }
}

}  // namespace

std::optional<Challenge> ChooseChallenge(std::span<const Challenge> challenges, bool allowBasic) {
  const Challenge* best = nullptr;
  int bestStrength = 0;
  for (const Challenge& c : challenges) {
    // The first of equal strength: servers list their preference first.
    const int strength = Strength(c, allowBasic);
    if (strength > bestStrength) {
      best = &c;
      bestStrength = strength;
    }
  }
  if (best == nullptr) return std::nullopt;
  return *best;
}

std::string Md5Hex(std::string_view text) {
  std::array<uint8_t, protocol::kMd5Bytes> digest{};
  const auto* data = reinterpret_cast<const uint8_t*>(text.data());
  if (!protocol::Md5(std::span<const uint8_t>(data, text.size()), digest)) return {};
  return Hex(digest);
}

std::string Sha256Hex(std::string_view text) {
  std::array<uint8_t, protocol::kSha256Bytes> digest{};
  const auto* data = reinterpret_cast<const uint8_t*>(text.data());
  if (!protocol::Sha256(std::span<const uint8_t>(data, text.size()), digest)) return {};
  return Hex(digest);
}

std::optional<std::string> BasicAuthorization(std::string_view user, std::string_view password) {
  if (user.find(':') != std::string_view::npos || HasControl(user) || HasControl(password))
    return std::nullopt;
  const std::string pair = std::string(user) + ":" + std::string(password);
  const auto* data = reinterpret_cast<const uint8_t*>(pair.data());
  return "Basic " + protocol::Base64Encode(std::span<const uint8_t>(data, pair.size()));
}

std::optional<std::string> DigestAuthorization(const Challenge& c, const DigestInput& in) {
  if (c.scheme != AuthScheme::kDigest || !Answerable(c)) return std::nullopt;
  const std::string& realm = *c.realm;
  for (std::string_view v : {in.user, in.password, in.method, in.uri, std::string_view(realm),
                             std::string_view(c.nonce)}) {
    if (HasControl(v)) return std::nullopt;
  }
  if (c.opaque && HasControl(*c.opaque)) return std::nullopt;
  const bool qop = c.qopOffered;  // Answerable: it offers auth
  const bool sess =
      c.algorithm == DigestAlgorithm::kMd5Sess || c.algorithm == DigestAlgorithm::kSha256Sess;
  const auto hash = IsSha256(c.algorithm) ? Sha256Hex : Md5Hex;
  if ((qop || sess) && (in.cnonce.empty() || HasControl(in.cnonce) ||
                        in.cnonce.find_first_of("\"\\") != std::string_view::npos))
    return std::nullopt;
  if (!IsToken(in.method)) return std::nullopt;

  auto join = [](std::initializer_list<std::string_view> parts) {
    std::string s;
    bool first = true;
    for (std::string_view p : parts) {
      if (!first) s += ':';
      s += p;
      first = false;
    }
    return s;
  };
  std::string ha1 = hash(join({in.user, realm, in.password}));
  if (sess) ha1 = hash(join({ha1, c.nonce, in.cnonce}));
  const std::string ha2 = hash(join({in.method, in.uri}));
  char nc[9];
  std::snprintf(nc, sizeof nc, "%08x", static_cast<unsigned>(in.nonceCount));
  const std::string response = qop ? hash(join({ha1, c.nonce, nc, in.cnonce, "auth", ha2}))
                                   : hash(join({ha1, c.nonce, ha2}));
  if (ha1.empty() || ha2.empty() || response.empty()) return std::nullopt;

  std::string out = "Digest username=" + Quote(in.user) + ", realm=" + Quote(realm) +
                    ", nonce=" + Quote(c.nonce) + ", uri=" + Quote(in.uri);
  if (!c.algorithmName.empty()) out += ", algorithm=" + std::string(AlgorithmName(c.algorithm));
  out += ", response=\"" + response + "\"";
  if (c.opaque) out += ", opaque=" + Quote(*c.opaque);
  if (qop) out += ", qop=auth, nc=" + std::string(nc) + ", cnonce=" + Quote(in.cnonce);
  return out;
}

Authenticator::Authenticator(std::string user, std::string password, bool allowBasic)
    : user_(std::move(user)), password_(std::move(password)), allowBasic_(allowBasic) {}

Authenticator::Verdict Authenticator::OnChallenge(std::span<const std::string_view> values) {
  const auto parsed = ParseChallenges(values);
  if (!parsed.ok()) return Verdict::kUnsupported;
  const auto chosen = ChooseChallenge(parsed.challenges, allowBasic_);
  if (!chosen) {
    // Basic alone would have done: say so, so the operator can choose.
    const bool basicOffered = ChooseChallenge(parsed.challenges, true).has_value();
    return basicOffered ? Verdict::kBasicRefused : Verdict::kUnsupported;
  }
  if (answered_ && challenge_ && chosen->scheme == challenge_->scheme) {
    // The answer was judged and refused, unless only the nonce had aged.
    const bool newNonce = chosen->scheme == AuthScheme::kDigest &&
                          (chosen->stale || chosen->nonce != challenge_->nonce);
    if (!newNonce) return Verdict::kRefused;
  }
  std::array<uint8_t, 16> random{};
  if (!protocol::RandomBytes(random)) return Verdict::kUnsupported;
  challenge_ = *chosen;
  cnonce_ = Hex(random);
  nonceCount_ = 0;
  answered_ = false;
  return Verdict::kRetry;
}

std::optional<std::string> Authenticator::Authorization(std::string_view method,
                                                        std::string_view uri) {
  if (!challenge_) return std::nullopt;
  answered_ = true;
  if (challenge_->scheme == AuthScheme::kBasic) return BasicAuthorization(user_, password_);
  return DigestAuthorization(*challenge_, {user_, password_, method, uri, cnonce_, ++nonceCount_});
}

}  // namespace qrv::tmcc::rtsp
