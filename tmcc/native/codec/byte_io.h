// Little-endian byte writing and bounds-checked reading for wire records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qrv::tmcc::protocol {

// Appends little-endian integers and raw bytes to a byte vector.
class ByteWriter {
 public:
  explicit ByteWriter(std::vector<uint8_t>& out) : out_(out) {}

  void U8(uint8_t v) { out_.push_back(v); }
  void U16(uint16_t v) {
    out_.push_back(static_cast<uint8_t>(v));
    out_.push_back(static_cast<uint8_t>(v >> 8));
  }
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void U64(uint64_t v) {
    for (int i = 0; i < 8; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void Bytes(std::span<const uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
  // A short text: one length byte, then the bytes (the caller checked the bound).
  void Text(std::string_view s) {
    U8(static_cast<uint8_t>(s.size()));
    out_.insert(out_.end(), s.begin(), s.end());
  }

 private:
  std::vector<uint8_t>& out_;
};

// Reads little-endian integers from a span; every read checks the remaining
// size first and a failed read leaves the reader failed for good.
class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> in) : in_(in) {}

  bool ok() const { return ok_; }
  size_t remaining() const { return ok_ ? in_.size() - pos_ : 0; }

  uint8_t U8() {
    if (!Need(1)) return 0;
    return in_[pos_++];
  }
  uint16_t U16() {
    if (!Need(2)) return 0;
    uint16_t v = static_cast<uint16_t>(in_[pos_] | (in_[pos_ + 1] << 8));
    pos_ += 2;
    return v;
  }
  uint32_t U32() {
    if (!Need(4)) return 0;
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(in_[pos_ + i]) << (8 * i);
    pos_ += 4;
    return v;
  }
  uint64_t U64() {
    if (!Need(8)) return 0;
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(in_[pos_ + i]) << (8 * i);
    pos_ += 8;
    return v;
  }
  int32_t I32() { return static_cast<int32_t>(U32()); }
  // Copies exactly out.size() bytes.
  void Bytes(std::span<uint8_t> out) {
    if (!Need(out.size())) return;
    for (size_t i = 0; i < out.size(); ++i) out[i] = in_[pos_ + i];
    pos_ += out.size();
  }
  // The rest of the input, without copying.
  std::span<const uint8_t> Rest() {
    if (!ok_) return {};
    auto r = in_.subspan(pos_);
    pos_ = in_.size();
    return r;
  }
  // A short text of at most maxLength bytes, none of them NUL.
  std::string Text(size_t maxLength) {
    uint8_t len = U8();
    if (!ok_) return {};
    if (len > maxLength || !Need(len)) {
      ok_ = false;
      return {};
    }
    std::string s(reinterpret_cast<const char*>(in_.data() + pos_), len);
    pos_ += len;
    if (s.find('\0') != std::string::npos) {
      ok_ = false;
      return {};
    }
    return s;
  }

 private:
  bool Need(size_t n) {
    if (!ok_ || in_.size() - pos_ < n) {
      ok_ = false;
      return false;
    }
    return true;
  }

  std::span<const uint8_t> in_;
  size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace qrv::tmcc::protocol
