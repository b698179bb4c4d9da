#include "host/recorder/segmenter.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "host/kit/annexb_scan.h"
#include "qrvaccess/qrv_access.h"

namespace qrv::recorder {

namespace fs = std::filesystem;

Segmenter::Segmenter(std::string device, std::string folder, std::chrono::seconds duration,
                     JsonLog& log, SegmentCloser& closer, SegmenterClock clock,
                     SegmentFormat format)
    : device_(std::move(device)),
      folder_(std::move(folder)),
      duration_(duration),
      log_(log),
      closer_(closer),
      clock_(std::move(clock)),
      format_(format) {}

Segmenter::~Segmenter() {
  Finish("stop");
}

SegmenterCounts Segmenter::Counts() const {
  std::lock_guard lock(mutex_);
  SegmenterCounts counts = counts_;
  const uint64_t lost = std::min(lostAtClose_->load(), counts.framesRecorded);
  counts.framesRecorded -= lost;
  counts.framesLost += lost;
  counts.failing = openFailing_;
  counts.framesMissing = arrivals_.Report().framesMissing;
  return counts;
}

void Segmenter::OnPacket(int32_t type, const uint8_t* data, uint32_t length, bool keyFrame) {
  std::lock_guard lock(mutex_);
  const auto now = clock_.steady();
  const auto wallNow = clock_.wall();
  ++counts_.packets;
  counts_.bytes += length;
  const auto previousWall = lastPacketWall_;
  counts_.lastPacket = now;
  lastPacketWall_ = wallNow;

  if (type == kStreamDataFirstHeader || type == kStreamDataLaterHeader) {
    // Headers come at the start of every stream connection: any after the
    // first means the stream was interrupted and the frames go on from a new
    // key frame, which the open segment cannot hold.
    if (counts_.headers > 0) arrivals_.Restart();
    if (counts_.headers > 0 && !gapOpen_) {
      OpenGap("stream restarted", previousWall);
      if (file_) EndSegment("gap");
    }
    ++counts_.headers;
    header_.assign(data, data + length);
    return;
  }
  if (type == kStreamDataVideo) {
    ++counts_.frames;
    arrivals_.Frame(now);
    if (keyFrame) ++counts_.keyFrames;
    // A key frame due at the segment's end may arrive a little early
    // (network jitter); without the slack such segments would run a whole
    // group of pictures longer.
    constexpr auto kSlack = std::chrono::milliseconds(50);
    if (keyFrame && file_ && now - opened_ + kSlack >= duration_) EndSegment("duration");
    const bool opening = keyFrame && !file_ && !header_.empty();
    if (opening) OpenSegment(now, {data, length});
    if (!file_) {
      ++counts_.framesSkipped;
      ++gapSkipped_;
      return;
    }
    if (keyFrame) ++info_.keyFrames;
    // An MP4 segment took its first frame when it was opened.
    const bool written =
        !mp4_
            ? file_->Append({data, length}, true)
            : opening ||
                  mp4_->Frame({data, length}, keyFrame,
                              std::chrono::duration_cast<std::chrono::microseconds>(now - opened_));
    if (!written) {
      // This frame and the buffered ones before it (already counted).
      const uint64_t lost = file_->lostFrames() + (mp4_ ? mp4_->lostFrames() + 1 : 0);
      WriteFailed(lost, lost - 1, mp4_ ? mp4_->error() : file_->error());
      EndSegment("write_error");
      return;
    }
    ++counts_.framesRecorded;
    return;
  }
  if (type == kStreamDataAux && file_ && mp4_) {
    ++counts_.auxSkipped;
    return;
  }
  if (type == kStreamDataAux && file_) {
    // Audio travels inside the video stream; it belongs to the open segment.
    if (!file_->Append({data, length}, false)) {
      WriteFailed(file_->lostFrames(), file_->lostFrames(), file_->error());
      EndSegment("write_error");
    }
  }
}

void Segmenter::WriteFailed(uint64_t lost, uint64_t counted, const std::string& error) {
  ++counts_.writeErrors;
  counts_.framesLost += lost;
  counts_.framesRecorded -= counted;
  log_.Write(
      "write_error",
      {{"device", device_}, {"path", file_->path()}, {"error", error}, {"frames_lost", lost}});
}

void Segmenter::MarkRestart(const std::string& reason) {
  std::lock_guard lock(mutex_);
  arrivals_.Restart();
  if (!gapOpen_) OpenGap(reason, lastPacketWall_);
  if (file_) EndSegment("gap");
  // The reopened stream starts with its own header; the old one must not be
  // taken for a reconnection of the new.
  counts_.headers = 0;
  header_.clear();
}

void Segmenter::OpenGap(const std::string& reason, std::chrono::system_clock::time_point from) {
  ++counts_.gaps;
  gapOpen_ = true;
  gapReason_ = reason;
  gapFrom_ = from;
  gapSkipped_ = 0;
  missingAtGapOpen_ = arrivals_.Report().framesMissing;
}

void Segmenter::Finish(const std::string& reason) {
  std::lock_guard lock(mutex_);
  if (file_) EndSegment(reason);
}

std::string Segmenter::NextPath(std::chrono::system_clock::time_point start, std::string* part) {
  // NAME_20261208T021449.123Z.264; the time is when the segment's first frame
  // arrived, the ending the stream's codec (".265" for H.265), told by its header.
  // (".mp4" for MP4 segments, whatever the codec).
  const std::string ending = format_ == SegmentFormat::kMp4
                                 ? std::string(".mp4")
                                 : std::string(host::CodecEnding(host::GuessCodec(header_)));
  std::string stamp = IsoTime(start);
  std::string compact;
  for (char c : stamp)
    if (c != '-' && c != ':') compact += c;
  std::string base = (fs::path(folder_) / (device_ + "_" + compact)).string();
  std::string candidate = base + ending;
  std::error_code ec;
  for (int n = 1; fs::exists(candidate, ec) || fs::exists(candidate + ".part", ec); ++n)
    candidate = base + "-" + std::to_string(n) + ending;
  *part = candidate + ".part";
  return candidate;
}

void Segmenter::OpenSegment(std::chrono::steady_clock::time_point now,
                            std::span<const uint8_t> keyFrame) {
  const auto wallNow = clock_.wall();
  std::error_code ec;
  fs::create_directories(folder_, ec);
  std::string part;
  std::string final = NextPath(wallNow, &part);
  std::string error;
  // The folder's own failure is the real cause, not the file's.
  if (ec)
    error = "cannot create " + folder_ + ": " + ec.message();
  else
    file_ = SegmentFile::Create(part, &error);
  if (file_ && format_ == SegmentFormat::kMp4) {
    mp4_ = Mp4Fragments::Create(host::GuessCodec(header_), header_, keyFrame, *file_, &error);
    if (!mp4_) {
      file_.reset();
      std::remove(part.c_str());
    }
  } else if (file_ && !file_->Append(header_, false)) {
    error = file_->error();
    file_.reset();
    std::remove(part.c_str());
  }
  if (!file_) {
    ++counts_.writeErrors;
    // Once per failing spell, not once per key frame.
    if (!openFailing_) log_.Write("segment_error", {{"device", device_}, {"error", error}});
    openFailing_ = true;
    return;
  }
  if (openFailing_) log_.Write("segment_recovered", {{"device", device_}, {"path", final}});
  openFailing_ = false;
  opened_ = now;
  ++counts_.segments;
  counts_.recording = true;
  info_ = SegmentInfo{};
  info_.device = device_;
  info_.finalPath = final;
  info_.index = counts_.segments;
  info_.start = wallNow;
  info_.lostAtClose = lostAtClose_;
  if (gapOpen_) {
    const auto gapMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(wallNow - gapFrom_).count();
    log_.Write("gap", {{"device", device_},
                       {"reason", gapReason_},
                       {"from", IsoTime(gapFrom_)},
                       {"to", IsoTime(wallNow)},
                       {"duration_ms", gapMs},
                       {"frames_skipped", gapSkipped_},
                       {"frames_missing", arrivals_.Report().framesMissing - missingAtGapOpen_}});
    gapOpen_ = false;
  }
  if (counts_.segments == 1) log_.Write("recording", {{"device", device_}, {"path", final}});
}

void Segmenter::EndSegment(const std::string& reason) {
  if (mp4_) {
    // The last fragment goes to the file here; the closer only flushes it.
    const uint64_t before = file_->lostFrames() + mp4_->lostFrames();
    if (!mp4_->Finish()) {
      const uint64_t lost = file_->lostFrames() + mp4_->lostFrames() - before;
      if (lost > 0) WriteFailed(lost, lost, mp4_->error());
    }
    mp4_.reset();
  }
  info_.end = clock_.wall();
  info_.reason = reason;
  counts_.recording = false;
  closer_.Submit(std::move(file_), std::move(info_));
  file_.reset();
  info_ = SegmentInfo{};
}

}  // namespace qrv::recorder
