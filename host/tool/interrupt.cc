#include "host/tool/interrupt.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "host/tool/report.h"

namespace qrv::host {
namespace {

std::atomic<int> firstSignal{0};
// The handler writes one byte and nobody reads it: the pipe stays readable,
// so every waiter, now or later, wakes.
int wakePipe[2] = {-1, -1};

void WriteAll(int fd, const char* text) {
  // Best effort: nothing can be done when the stream is gone.
  ssize_t ignored = ::write(fd, text, std::strlen(text));
  (void)ignored;
}

void OnSignal(int signal) {
  int expected = 0;
  if (firstSignal.compare_exchange_strong(expected, signal)) {
    if (wakePipe[1] >= 0) WriteAll(wakePipe[1], "x");
    if (!Report::Instance().json()) {
      WriteAll(STDERR_FILENO,
               "qrv-host: stopping cleanly (send the signal again to stop at once)\n");
    }
    return;
  }
  // The second signal: the user insists. Keep the promise of one JSON
  // document when the report has not been printed yet.
  if (Report::Instance().json() && !Report::Instance().finished()) {
    WriteAll(
        STDOUT_FILENO,
        "{\"error\":\"stopped at once by a second signal\",\"exitStatus\":130,\"ok\":false}\n");
  } else {
    WriteAll(STDERR_FILENO, "qrv-host: stopped at once\n");
  }
  ::_exit(kExitInterrupted);
}

}  // namespace

void Interrupt::Install() {
  if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe[0] = wakePipe[1] = -1;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // Calls interrupted in the plug-in's threads carry on.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool Interrupt::Requested() {
  return firstSignal.load() != 0;
}

bool Interrupt::WaitFor(std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  while (!Requested()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    if (wakePipe[0] < 0) {
      // No pipe: look again now and then.
      left = std::min(left, std::chrono::milliseconds(50));
      ::poll(nullptr, 0, static_cast<int>(left.count()));
      continue;
    }
    pollfd wait{wakePipe[0], POLLIN, 0};
    ::poll(&wait, 1, static_cast<int>(std::min<int64_t>(left.count(), 1 << 30)));
  }
  return true;
}

int Interrupt::Signal() {
  return firstSignal.load();
}

}  // namespace qrv::host
