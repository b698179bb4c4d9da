// Feeds arbitrary WWW-Authenticate values (one per line) to the challenge
// parser and answers what it accepts. Checks that an answer never holds a
// character that could end its header line, and that, as an Authorization
// value has the same grammar as a challenge, it parses back to the realm,
// nonce and opaque it was given.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tmcc/rtsp/codec/auth.h"

namespace rt = qrv::tmcc::rtsp;

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool LineSafe(std::string_view s) {
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7f) return false;
  }
  return true;
}

void AnswerParsesBack(const rt::Challenge& c) {
  const auto answer =
      rt::DigestAuthorization(c, {"us\"er\\", "pass", "DESCRIBE", "rtsp://h/live", "0a4f113b", 7});
  Check(answer.has_value());
  Check(LineSafe(*answer));
  const auto back = rt::ParseChallenges(*answer);
  Check(back.ok() && back.challenges.size() == 1);
  const rt::Challenge& b = back.challenges[0];
  Check(b.scheme == rt::AuthScheme::kDigest);
  Check(b.realm == c.realm && b.nonce == c.nonce && b.opaque == c.opaque);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> values;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) nl = text.size();
    values.push_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }

  const auto parsed = rt::ParseChallenges(values);
  Check(parsed.ok() || parsed.challenges.empty());
  Check(parsed.challenges.size() <= rt::kMaxChallenges * values.size());
  for (const auto& c : parsed.challenges) {
    Check(c.nonce.size() <= rt::kMaxAuthParamLength);
    if (c.scheme == rt::AuthScheme::kDigest && rt::Answerable(c)) AnswerParsesBack(c);
  }
  if (const auto chosen = rt::ChooseChallenge(parsed.challenges, true))
    Check(rt::Answerable(*chosen));
  // Basic is never chosen where it is not allowed.
  if (const auto chosen = rt::ChooseChallenge(parsed.challenges, false))
    Check(chosen->scheme == rt::AuthScheme::kDigest);

  rt::Authenticator auth("user", "pass", true);
  if (auth.OnChallenge(values) == rt::Authenticator::Verdict::kRetry) {
    for (int i = 0; i < 2; ++i) {
      const auto a = auth.Authorization("OPTIONS", "rtsp://h/");
      Check(a.has_value() && LineSafe(*a));
    }
  }
  return 0;
}
