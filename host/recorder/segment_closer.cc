#include "host/recorder/segment_closer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qrv::recorder {

SegmentCloser::SegmentCloser(JsonLog& log) : log_(log), thread_([this] { Run(); }) {}

SegmentCloser::~SegmentCloser() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void SegmentCloser::Submit(std::unique_ptr<SegmentFile> file, SegmentInfo info) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(Job{std::move(file), std::move(info)});
  }
  wake_.notify_all();
}

void SegmentCloser::Drain() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [&] { return jobs_.empty() && !busy_; });
}

uint64_t SegmentCloser::finished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

uint64_t SegmentCloser::failed() const {
  std::lock_guard lock(mutex_);
  return failed_;
}

size_t SegmentCloser::failingDevices() const {
  std::lock_guard lock(mutex_);
  size_t failing = 0;
  for (const auto& [device, failed] : lastFailed_) failing += failed ? 1 : 0;
  return failing;
}

void SegmentCloser::Run() {
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
    if (jobs_.empty()) {
      if (stop_) return;
      continue;
    }
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    busy_ = true;
    lock.unlock();
    Close(job);
    lock.lock();
    busy_ = false;
    if (jobs_.empty()) idle_.notify_all();
  }
}

void SegmentCloser::Close(Job& job) {
  SegmentFile& file = *job.file;
  const uint64_t lostBefore = file.lostFrames();
  const bool written = file.Finish();
  if (job.info.lostAtClose && file.lostFrames() > lostBefore)
    job.info.lostAtClose->fetch_add(file.lostFrames() - lostBefore);
  std::string error = written ? "" : file.error();
  if (file.frames() == 0) {
    if (std::remove(file.path().c_str()) != 0)
      error += std::string(error.empty() ? "" : "; ") + "remove: " + std::strerror(errno);
    nlohmann::ordered_json fields = {
        {"device", job.info.device},        {"path", file.path()},
        {"index", job.info.index},          {"ended_by", job.info.reason},
        {"frames_lost", file.lostFrames()}, {"bytes_lost", file.lostBytes()}};
    if (!error.empty()) fields["error"] = error;
    log_.Write("segment_discarded", std::move(fields));
    // Nothing of it reached the disk: a failure unless it simply held nothing.
    const bool failed = !error.empty() || file.lostFrames() > 0;
    std::lock_guard lock(mutex_);
    if (failed) ++failed_;
    lastFailed_[job.info.device] = failed;
    return;
  }
  bool renamed = std::rename(file.path().c_str(), job.info.finalPath.c_str()) == 0;
  if (!renamed) {
    if (!error.empty()) error += "; ";
    error += "rename to " + job.info.finalPath + ": " + std::strerror(errno);
  }
  const auto durationMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(job.info.end - job.info.start).count();
  nlohmann::ordered_json fields = {
      {"device", job.info.device},    {"path", renamed ? job.info.finalPath : file.path()},
      {"index", job.info.index},      {"start", IsoTime(job.info.start)},
      {"end", IsoTime(job.info.end)}, {"duration_ms", durationMs},
      {"frames", file.frames()},      {"key_frames", job.info.keyFrames},
      {"bytes", file.bytes()},        {"ended_by", job.info.reason}};
  if (file.lostFrames() > 0) {
    fields["frames_lost"] = file.lostFrames();
    fields["bytes_lost"] = file.lostBytes();
  }
  if (!error.empty()) fields["error"] = error;
  log_.Write("segment", std::move(fields));
  std::lock_guard lock(mutex_);
  ++finished_;
  if (!error.empty()) ++failed_;
  // A segment cut short by a write error is a failure too, though what it
  // holds was finished cleanly.
  lastFailed_[job.info.device] = !error.empty() || file.lostFrames() > 0;
}

}  // namespace qrv::recorder
