#include "tests/tmcc/media_check.h"

#include <turbojpeg.h>

#include <cstdio>
#include <fstream>
#include <iterator>

namespace qrv::test {

bool JpegFileSize(const std::string& path, int& width, int& height) {
  std::ifstream in(path, std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  if (bytes.empty()) return false;
  tjhandle tj = tjInitDecompress();
  int subsampling = 0, colorspace = 0;
  int rc = tjDecompressHeader3(tj, bytes.data(), bytes.size(), &width, &height, &subsampling,
                               &colorspace);
  bool ok = rc == 0;
  if (ok) {
    // Decode the whole picture, not just the header.
    std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 3);
    ok = tjDecompress2(tj, bytes.data(), bytes.size(), rgb.data(), width, 0, height, TJPF_RGB, 0) ==
         0;
  }
  tjDestroy(tj);
  return ok;
}

int DecodedFrameCount(const std::string& path) {
  std::string command =
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
      "-of csv=p=0 '" +
      path + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  int frames = -1;
  if (fscanf(pipe, "%d", &frames) != 1) frames = -1;
  pclose(pipe);
  return frames;
}

int FirstSliceType(const std::vector<uint8_t>& b) {
  for (size_t i = 0; i + 3 < b.size(); ++i) {
    if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
      int type = b[i + 3] & 0x1F;
      if (type == 1 || type == 5) return type;
      i += 2;
    }
  }
  return 0;
}

}  // namespace qrv::test
