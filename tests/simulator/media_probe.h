// Helpers for the simulator's media tests: writing streams to files and asking
// ffprobe and libturbojpeg what they hold.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qrv::sim::test {

// Writes bytes to path; false on failure.
bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

// Number of video frames ffprobe decodes from a raw H.264 file, -1 if it
// could not be run.
int CountDecodedFrames(const std::string& path);

// Width and height from a JPEG's header; false if it does not decode.
bool JpegSize(const std::vector<uint8_t>& jpeg, int& width, int& height);

}  // namespace qrv::sim::test
