// Safe reads of the fixed text fields of caller-supplied records.
#pragma once

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>

namespace qrv::tmcc {

// The text of a fixed field, or nothing when the field holds no NUL (the
// record is malformed then and must be refused, not read past).
template <size_t N>
std::optional<std::string> FieldText(const char (&field)[N]) {
  const void* nul = std::memchr(field, 0, N);
  if (nul == nullptr) return std::nullopt;
  return std::string(field, static_cast<const char*>(nul));
}

// Copies text into a fixed field, cut to fit with a NUL behind it; the rest of
// the field is left as it was (callers zero records first).
template <size_t N>
void SetFieldText(char (&field)[N], const std::string& text) {
  size_t n = std::min(text.size(), N - 1);
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

}  // namespace qrv::tmcc
