#include "host/kit/media_probe.h"

#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

namespace qrv::host {
namespace {

// Runs argv[0] with the arguments and returns its standard output and error
// together, or nullopt when it could not be started. `status` gets the exit
// status (-1 when it did not exit normally).
std::optional<std::string> RunCapture(const std::vector<std::string>& argv, int* status) {
  int fds[2];
  if (pipe(fds) != 0) return std::nullopt;
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return std::nullopt;
  }
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  std::string out;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n > 0) {
      out.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(fds[0]);
  int raw = 0;
  while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

double MeanAbsDifference(const GrayPicture& a, const GrayPicture& b, int dx, int dy, int step) {
  // Pixel (x, y) of a against pixel (x + dx, y + dy) of b, over their overlap.
  int x0 = std::max(0, -dx);
  int x1 = std::min(a.width, b.width - dx);
  int y0 = std::max(0, -dy);
  int y1 = std::min(a.height, b.height - dy);
  if (x1 - x0 < a.width / 2 || y1 - y0 < a.height / 2) return std::numeric_limits<double>::max();
  uint64_t sum = 0;
  uint64_t count = 0;
  for (int y = y0; y < y1; y += step) {
    const uint8_t* rowA = &a.pixels[static_cast<size_t>(y) * a.width];
    const uint8_t* rowB = &b.pixels[static_cast<size_t>(y + dy) * b.width];
    for (int x = x0; x < x1; x += step) {
      sum += static_cast<uint64_t>(std::abs(int{rowA[x]} - int{rowB[x + dx]}));
      ++count;
    }
  }
  return count == 0 ? std::numeric_limits<double>::max() : double(sum) / double(count);
}

}  // namespace

ProbeResult ProbeVideoFile(const std::string& path, StreamCodec codec) {
  ProbeResult result;
  int status = 0;
  auto out = RunCapture(
      {"ffprobe", "-v", "error", "-f", CodecName(codec), "-count_frames", "-select_streams", "v:0",
       "-show_entries", "stream=codec_name,width,height,nb_read_frames", "-of",
       "default=noprint_wrappers=1", path},
      &status);
  if (!out) {
    result.error = "cannot start ffprobe";
    return result;
  }
  std::istringstream lines(*out);
  std::string line;
  bool sawStream = false;
  while (std::getline(lines, line)) {
    auto eq = line.find('=');
    std::string key = eq == std::string::npos ? "" : line.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : line.substr(eq + 1);
    if (key == "codec_name") {
      result.codec = value;
      sawStream = true;
    } else if (key == "width") {
      result.width = std::atoi(value.c_str());
    } else if (key == "height") {
      result.height = std::atoi(value.c_str());
    } else if (key == "nb_read_frames") {
      result.decodedFrames = std::atoll(value.c_str());
    } else if (!line.empty()) {
      result.error += (result.error.empty() ? "" : "; ") + line;
    }
  }
  result.ran = status == 0 && sawStream;
  if (status != 0 && result.error.empty()) result.error = "ffprobe failed";
  return result;
}

std::optional<std::vector<uint8_t>> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::optional<GrayPicture> DecodeJpegFile(const std::string& path, std::string* error) {
  auto bytes = ReadFileBytes(path);
  if (!bytes || bytes->empty()) {
    *error = "cannot read " + path;
    return std::nullopt;
  }
  tjhandle decoder = tjInitDecompress();
  if (decoder == nullptr) {
    *error = "cannot make a JPEG decoder";
    return std::nullopt;
  }
  int width = 0;
  int height = 0;
  int subsampling = 0;
  int colorspace = 0;
  std::optional<GrayPicture> picture;
  if (tjDecompressHeader3(decoder, bytes->data(), static_cast<unsigned long>(bytes->size()), &width,
                          &height, &subsampling, &colorspace) != 0 ||
      width <= 0 || height <= 0) {
    *error = path + " is not a JPEG: " + tjGetErrorStr2(decoder);
  } else {
    GrayPicture gray;
    gray.width = width;
    gray.height = height;
    gray.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    if (tjDecompress2(decoder, bytes->data(), static_cast<unsigned long>(bytes->size()),
                      gray.pixels.data(), width, width, height, TJPF_GRAY, 0) != 0) {
      *error = path + " does not decode: " + tjGetErrorStr2(decoder);
    } else {
      picture = std::move(gray);
    }
  }
  tjDestroy(decoder);
  return picture;
}

std::optional<PictureDifference> ComparePictures(const GrayPicture& a, const GrayPicture& b,
                                                 int maxShift) {
  if (a.width != b.width || a.height != b.height || a.width <= 0 || a.height <= 0) {
    return std::nullopt;
  }
  PictureDifference result;
  result.meanAbsDifference = MeanAbsDifference(a, b, 0, 0, 1);
  // Coarse search on a 4-pixel grid with sub-sampled pixels, then refine.
  constexpr int kCoarse = 4;
  double best = std::numeric_limits<double>::max();
  int bestX = 0;
  int bestY = 0;
  for (int dy = -maxShift; dy <= maxShift; dy += kCoarse) {
    for (int dx = -maxShift; dx <= maxShift; dx += kCoarse) {
      double d = MeanAbsDifference(a, b, dx, dy, 4);
      if (d < best) {
        best = d;
        bestX = dx;
        bestY = dy;
      }
    }
  }
  int centreX = bestX;
  int centreY = bestY;
  best = std::numeric_limits<double>::max();
  for (int dy = centreY - kCoarse; dy <= centreY + kCoarse; ++dy) {
    for (int dx = centreX - kCoarse; dx <= centreX + kCoarse; ++dx) {
      double d = MeanAbsDifference(a, b, dx, dy, 1);
      // On a tie the smaller shift wins, so an unchanged picture gives 0.
      if (d < best ||
          (d == best && std::abs(dx) + std::abs(dy) < std::abs(bestX) + std::abs(bestY))) {
        best = d;
        bestX = dx;
        bestY = dy;
      }
    }
  }
  result.bestShiftX = bestX;
  result.bestShiftY = bestY;
  result.residualAtBestShift = best;
  return result;
}

}  // namespace qrv::host
