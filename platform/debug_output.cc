#include "platform/debug_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace qrv::platform {
namespace {

std::mutex& SinkMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<void(std::string_view)>& Sink() {
  static std::function<void(std::string_view)> sink;
  return sink;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// The message as one write, so lines from several threads do not interleave.
std::string Line(std::string_view bytes) {
  std::string line(bytes);
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  return line;
}

// Called with the sink lock held.
void WriteToChosenDestination(std::string_view bytes) {
  const char* where = std::getenv(kDebugOutputVariable);
  if (where == nullptr || *where == '\0' || std::strcmp(where, "off") == 0) return;
  const std::string line = Line(bytes);
  if (std::strcmp(where, "stderr") == 0) {
    std::fflush(stderr);
    WriteAll(STDERR_FILENO, line);
    return;
  }
  const int fd = ::open(where, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 || !WriteAll(fd, line)) {
    // The host asked for the output; say once per destination that it
    // cannot have it.
    const int error = errno;
    static std::string& told = *new std::string;  // kept for writes at exit
    if (told != where) {
      told = where;
      std::fprintf(stderr, "%s: cannot write to %s: %s\n", kDebugOutputVariable, where,
                   std::strerror(error));
    }
  }
  if (fd >= 0) ::close(fd);
}

}  // namespace

void OutputDebugText(const char* text) {
  if (text == nullptr) return;
  std::string_view bytes(text, std::strlen(text));
  std::lock_guard<std::mutex> lock(SinkMutex());
  if (Sink()) {
    Sink()(bytes);
    return;
  }
  if (bytes.empty()) return;
  WriteToChosenDestination(bytes);
}

void SetDebugOutputSink(std::function<void(std::string_view)> sink) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  Sink() = std::move(sink);
}

}  // namespace qrv::platform
