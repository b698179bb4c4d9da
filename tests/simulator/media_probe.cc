#include "tests/simulator/media_probe.h"

#include <turbojpeg.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace qrv::sim::test {

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

int CountDecodedFrames(const std::string& path) {
  const std::string command =
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
      "-of csv=p=0 '" +
      path + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  char line[64] = {};
  const bool got = fgets(line, sizeof line, pipe) != nullptr;
  const int status = pclose(pipe);
  if (!got || status != 0) return -1;
  return std::atoi(line);
}

bool JpegSize(const std::vector<uint8_t>& jpeg, int& width, int& height) {
  tjhandle tj = tjInitDecompress();
  if (!tj) return false;
  int subsampling = 0, colorspace = 0;
  const bool ok = tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), &width, &height, &subsampling,
                                      &colorspace) == 0;
  // Decode the whole picture too: a valid header alone does not make a JPEG.
  std::vector<unsigned char> rgb(ok ? static_cast<size_t>(width) * height * 3 : 0);
  const bool decoded = ok && tjDecompress2(tj, jpeg.data(), jpeg.size(), rgb.data(), width, 0,
                                           height, TJPF_RGB, 0) == 0;
  tjDestroy(tj);
  return decoded;
}

}  // namespace qrv::sim::test
