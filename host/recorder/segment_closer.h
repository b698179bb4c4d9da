// Finishes segments off the packet path: flush, sync to disk, close, then
// rename from the ".part" name to the final one, so a ".264" file in an
// output folder is always complete. Logs one "segment" line per file; a
// segment that holds no frame (every write failed) is removed instead and
// logged as "segment_discarded", so a full disk publishes no empty files.
//
// Threads: Submit from any thread (the device library's packet threads, the
// device threads); the closer's own thread does the work. Drain waits until
// everything submitted so far is done. The queue's mutex is never held while
// writing or logging.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/recorder/json_log.h"
#include "host/recorder/segment_file.h"

namespace qrv::recorder {

struct SegmentInfo {
  std::string device;
  std::string finalPath;
  uint64_t index = 0;  // per device, from 1
  std::chrono::system_clock::time_point start;
  std::chrono::system_clock::time_point end;
  uint64_t keyFrames = 0;
  std::string reason;  // why it ended: duration, gap, write_error, stop, removed
  // Frames lost while finishing (the last flush failed) are added here, so
  // the device's counts match what the files hold.
  std::shared_ptr<std::atomic<uint64_t>> lostAtClose;
};

class SegmentCloser {
 public:
  explicit SegmentCloser(JsonLog& log);
  ~SegmentCloser();  // drains, then ends the thread
  SegmentCloser(const SegmentCloser&) = delete;
  SegmentCloser& operator=(const SegmentCloser&) = delete;

  void Submit(std::unique_ptr<SegmentFile> file, SegmentInfo info);
  void Drain();

  uint64_t finished() const;
  uint64_t failed() const;
  // Devices whose latest segment failed: failures still present, not ones a
  // later good segment recovered from.
  size_t failingDevices() const;

 private:
  struct Job {
    std::unique_ptr<SegmentFile> file;
    SegmentInfo info;
  };
  void Run();
  void Close(Job& job);

  JsonLog& log_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<Job> jobs_;
  bool busy_ = false;
  bool stop_ = false;
  uint64_t finished_ = 0;
  uint64_t failed_ = 0;
  std::map<std::string, bool> lastFailed_;  // per device
  std::thread thread_;
};

}  // namespace qrv::recorder
