#include "host/kit/debug_relay.h"

#include <fcntl.h>
#include <iconv.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "qrvaccess/qrv_access.h"

namespace qrv::host {

namespace {

// Starts a line the relay writes to itself; the plug-in's text never holds
// this control byte.
constexpr std::string_view kSyncMarker = "\x01qrv-host-sync ";

}  // namespace

std::string GbkToUtf8(std::string_view gbk) {
  std::string out;
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(gbk);
  char* in = const_cast<char*>(gbk.data());
  size_t inLeft = gbk.size();
  char buffer[256];
  while (inLeft > 0) {
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    const size_t done = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    out.append(buffer, static_cast<size_t>(outPtr - buffer));
    if (done != static_cast<size_t>(-1) || errno == E2BIG) continue;
    // Not GBK (or cut short): show the byte and go on after it.
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(*in));
    out += hex;
    ++in;
    --inLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  return out;
}

bool DebugRelay::Start(Print print) {
  if (writeEnd_ >= 0) return true;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  const std::string path = "/dev/fd/" + std::to_string(ends[1]);
  ::setenv(kQrvDebugOutputVariable, path.c_str(), 1);
  writeEnd_ = ends[1];
  const int readEnd = ends[0];
  reader_ = std::thread([this, readEnd, print = std::move(print)] {
    // A sync marker is the relay's own: counted, never printed.
    auto deliver = [&](std::string_view line) {
      if (line.size() > kSyncMarker.size() && line.substr(0, kSyncMarker.size()) == kSyncMarker) {
        std::lock_guard lock(mutex_);
        syncSeen_ =
            std::strtoull(std::string(line.substr(kSyncMarker.size())).c_str(), nullptr, 10);
        synced_.notify_all();
        return;
      }
      print(GbkToUtf8(line));
    };
    std::string pending;
    char chunk[512];
    for (;;) {
      const ssize_t n = ::read(readEnd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      pending.append(chunk, static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
        deliver(std::string_view(pending).substr(0, end));
        pending.erase(0, end + 1);
      }
    }
    if (!pending.empty()) deliver(pending);
    ::close(readEnd);
  });
  return true;
}

bool DebugRelay::Sync(std::chrono::milliseconds bound) {
  if (writeEnd_ < 0) return false;
  const uint64_t number = ++syncSent_;
  const std::string line = std::string(kSyncMarker) + std::to_string(number) + "\n";
  // Shorter than PIPE_BUF: one write, never mixed into a plug-in's line.
  ssize_t n;
  do {
    n = ::write(writeEnd_, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(line.size())) return false;
  std::unique_lock lock(mutex_);
  return synced_.wait_for(lock, bound, [&] { return syncSeen_ >= number; });
}

void DebugRelay::Stop() {
  if (writeEnd_ < 0) return;
  ::unsetenv(kQrvDebugOutputVariable);
  ::close(writeEnd_);  // the plug-in opens the path per message: this is the last writer
  writeEnd_ = -1;
  if (reader_.joinable()) reader_.join();
}

}  // namespace qrv::host
