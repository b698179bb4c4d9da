// What ffprobe says of a recording, and what a JPEG snapshot holds.
//
// Threads: any; each call runs ffprobe as a child process or decodes a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/kit/annexb_scan.h"

namespace qrv::host {

struct ProbeResult {
  bool ran = false;   // ffprobe ran and printed a video stream
  std::string codec;  // for example "h264"
  int width = 0;
  int height = 0;
  int64_t decodedFrames = -1;  // frames ffprobe decoded
  std::string error;           // why it did not run, or what it printed on error
};

// Counts the decoded frames of a raw H.264 (or H.265) file with ffprobe.
ProbeResult ProbeVideoFile(const std::string& path, StreamCodec codec);
inline ProbeResult ProbeH264File(const std::string& path) {
  return ProbeVideoFile(path, StreamCodec::kH264);
}

struct GrayPicture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // width * height, row by row
};

// Decodes a JPEG file to 8-bit gray; nullopt when it is not a JPEG.
std::optional<GrayPicture> DecodeJpegFile(const std::string& path, std::string* error);

struct PictureDifference {
  double meanAbsDifference = 0;  // at no shift, over the whole picture
  int bestShiftX = 0;            // horizontal shift that best aligns b onto a
  int bestShiftY = 0;
  double residualAtBestShift = 0;
};

// Compares two pictures of the same size. The best shift is searched over
// +-maxShift pixels on a coarse grid, then refined; a camera pan shows as a
// non-zero shift, a picture that only changed in place as shift 0.
std::optional<PictureDifference> ComparePictures(const GrayPicture& a, const GrayPicture& b,
                                                 int maxShift);

// Reads a whole file; nullopt when it cannot be read.
std::optional<std::vector<uint8_t>> ReadFileBytes(const std::string& path);

}  // namespace qrv::host
