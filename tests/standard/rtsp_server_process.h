// GStreamer's RTSP server (rtsp_server.py, run with the system's python3,
// which has GStreamer's bindings) as a child process: Start returns once it
// printed that it listens; stopped and reaped on Stop or destruction, and it
// ends by itself after its --seconds.
#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace qrv::test {

class RtspServerProcess {
 public:
  // `arguments`: rtsp_server.py's options (address, port, user, ...).
  explicit RtspServerProcess(std::vector<std::string> arguments)
      : arguments_(std::move(arguments)) {}
  ~RtspServerProcess() { Stop(); }
  RtspServerProcess(const RtspServerProcess&) = delete;
  RtspServerProcess& operator=(const RtspServerProcess&) = delete;

  // True once the server printed "ready PORT" (within a bound).
  bool Start() {
    int fds[2];
    if (pipe(fds) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<std::string> args = {"/usr/bin/python3", QRV_RTSP_SERVER};
    args.insert(args.end(), arguments_.begin(), arguments_.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int r = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (r != 0) {
      close(fds[0]);
      pid_ = -1;
      return false;
    }
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    bool ready = false;
    while (!ready && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fds[0], POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      char c;
      if (read(fds[0], &c, 1) != 1) break;
      if (c == '\n') {
        ready = line.rfind("ready ", 0) == 0;
        line.clear();
      } else {
        line += c;
      }
    }
    close(fds[0]);
    return ready;
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  std::vector<std::string> arguments_;
  pid_t pid_ = -1;
};

}  // namespace qrv::test
