// Checks of media the library delivered: JPEG sizes, H.264 files decoded by ffprobe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qrv::test {

// Width and height of a JPEG file; false when it does not decode.
bool JpegFileSize(const std::string& path, int& width, int& height);

// Video frames ffprobe decodes from a raw H.264 file; -1 when it cannot run.
int DecodedFrameCount(const std::string& path);

// Type of the first slice NAL unit (1 non-IDR, 5 IDR) in Annex B bytes, 0 if none.
int FirstSliceType(const std::vector<uint8_t>& annexB);

}  // namespace qrv::test
