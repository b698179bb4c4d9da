#include "host/tool/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "host/tool/report.h"

namespace qrv::host {
namespace {

std::mutex mutex;
std::condition_variable arrived;
std::atomic<int> firstSignal{0};

void WriteError(const char* text) {
  // Best effort: nothing can be done when standard error is gone.
  ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
  (void)ignored;
}

void WaitForSignals(sigset_t set) {
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    if (firstSignal.load() == 0) {
      {
        std::lock_guard lock(mutex);
        firstSignal.store(signal);
      }
      arrived.notify_all();
      if (!Report::Instance().json()) {
        WriteError("qrv-host: stopping cleanly (send the signal again to stop at once)\n");
      }
      continue;
    }
    // The second signal: the user insists. Keep the promise of one JSON
    // document when the report has not been printed yet.
    if (Report::Instance().json() && !Report::Instance().finished()) {
      const char* text =
          "{\"error\":\"stopped at once by a second signal\",\"exitStatus\":130,\"ok\":false}\n";
      ssize_t ignored = ::write(STDOUT_FILENO, text, std::strlen(text));
      (void)ignored;
    } else {
      WriteError("qrv-host: stopped at once\n");
    }
    ::_exit(kExitInterrupted);
  }
}

}  // namespace

void Interrupt::Install() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // Lives until the process ends; it only ever waits in sigwait.
  std::thread(WaitForSignals, set).detach();
}

bool Interrupt::Requested() {
  return firstSignal.load() != 0;
}

bool Interrupt::WaitFor(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex);
  return arrived.wait_for(lock, timeout, [] { return firstSignal.load() != 0; });
}

int Interrupt::Signal() {
  return firstSignal.load();
}

}  // namespace qrv::host
