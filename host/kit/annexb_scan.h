// A pure scan of an H.264 or H.265 Annex B byte stream: the NAL unit types
// in order and the number of pictures, so a recording can be checked
// independently of any decoder (a decoder silently drops pictures before the
// first IDR). The codec is the caller's to say; GuessCodec tells it from the
// stream's first unit.
//
// Threads: any; the functions are pure or read a file, a PictureCounter
// belongs to its caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qrv::host {

enum class StreamCodec { kH264, kH265 };

// The codec of a stream that begins with its parameter sets, a delimiter or
// SEI, as recordings and stream headers do: H.265 when the first unit's
// header is an H.265 VPS, SPS, PPS, delimiter or prefix SEI (none of which
// starts an H.264 stream), else H.264.
StreamCodec GuessCodec(std::span<const uint8_t> bytes);
// The first bytes of a file, for GuessCodec; H.264 when unreadable.
StreamCodec GuessFileCodec(const std::string& path);

// ".264" or ".265".
const char* CodecEnding(StreamCodec codec);
// "h264" or "hevc", as ffmpeg names them.
const char* CodecName(StreamCodec codec);

struct AnnexBSummary {
  std::vector<uint8_t> nalTypes;  // nal_unit_type of every NAL unit, in order
  uint64_t pictures = 0;          // coded slices starting a picture
  uint64_t idrPictures = 0;       // of those, IDR (H.265: IRAP, types 16-21)
  int firstVclType = -1;          // type of the first slice NAL unit, -1 if none
  bool firstIsKey = false;        // the first slice is IDR (H.265: IRAP)
  // SPS and PPS (H.265: and VPS) all before the first slice
  bool parameterSetsFirst = false;
  size_t leadingGarbage = 0;  // bytes before the first start code
};

// Start codes are 00 00 01 or 00 00 00 01. A slice starts a new picture when
// its first_mb_in_slice is 0, which is the first bit after the NAL header
// being 1 (ue(v) of 0 is the single bit 1); in H.265 that first bit is
// first_slice_segment_in_pic_flag, after a two-byte header.
AnnexBSummary ScanAnnexB(std::span<const uint8_t> bytes, StreamCodec codec = StreamCodec::kH264);

// The picture count of a recording file, read in pieces so a file of any
// size costs a fixed amount of memory. Counts as ScanAnnexB does.
struct FilePictures {
  bool read = false;  // the file could be read to its end
  uint64_t bytes = 0;
  uint64_t pictures = 0;
  uint64_t idrPictures = 0;
  int firstVclType = -1;
  bool firstIsKey = false;
};

// Feeds pieces of an Annex B stream in order; start codes may straddle pieces.
class PictureCounter {
 public:
  explicit PictureCounter(StreamCodec codec = StreamCodec::kH264) : codec_(codec) {}
  void Feed(std::span<const uint8_t> piece);
  const FilePictures& Result() const { return result_; }

 private:
  StreamCodec codec_;
  FilePictures result_;
  int zeros_ = 0;  // zero bytes just seen (start code search)
  // 1: next byte is a NAL header; 2: next is the slice's first byte; 3: next
  // is an H.265 slice header's second byte
  int afterCode_ = 0;
  bool key_ = false;  // the slice whose first byte is awaited is IDR (IRAP)
};

FilePictures CountPicturesInFile(const std::string& path, StreamCodec codec = StreamCodec::kH264);

// The start of a recording file only: read until the first slice is found or
// `limit` bytes are read, so its cost does not grow with the file. `read` is
// true when nothing failed up to there; the counts cover what was read.
FilePictures ScanFileStart(const std::string& path, uint64_t limit,
                           StreamCodec codec = StreamCodec::kH264);

}  // namespace qrv::host
