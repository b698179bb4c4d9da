#include "host/kit/stream_tap.h"

namespace qrv::host {

int32_t StreamTap::Attach(IAccess& access, int32_t slot) {
  return access.SetStreamDataCallback(static_cast<uint32_t>(slot), &StreamTap::OnData,
                                      reinterpret_cast<uintptr_t>(this));
}

int32_t StreamTap::Detach(IAccess& access, int32_t slot) {
  return access.SetStreamDataCallback(static_cast<uint32_t>(slot), nullptr, 0);
}

void StreamTap::Arm() {
  std::lock_guard lock(mutex_);
  armed_ = true;
  counts_.recordingOpened = false;
  counts_.recordedFrames = 0;
  counts_.recordedKeyFrames = 0;
  counts_.recordedBytes = 0;
  writtenHeader_.clear();
  headerPending_ = false;
  recorded_.clear();
  gapTracker_ = GapTracker();
  counts_.gaps = GapReport();
}

void StreamTap::KeepRecordedBytes(bool keep) {
  std::lock_guard lock(mutex_);
  keepBytes_ = keep;
}

std::vector<uint8_t> StreamTap::RecordedBytes() const {
  std::lock_guard lock(mutex_);
  return recorded_;
}

void StreamTap::Disarm() {
  std::lock_guard lock(mutex_);
  armed_ = false;
}

TapCounts StreamTap::Read() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

std::vector<uint8_t> StreamTap::FirstHeader() const {
  std::lock_guard lock(mutex_);
  return firstHeader_;
}

bool StreamTap::WaitUntil(const std::function<bool(const TapCounts&)>& done,
                          std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return done(counts_); });
}

int32_t QRV_CALLBACK StreamTap::OnData(int32_t dataType, const uint8_t* data, uint32_t length,
                                       StreamFrameInfo info, uintptr_t user) {
  auto* tap = reinterpret_cast<StreamTap*>(user);
  if (tap != nullptr) tap->Deliver(dataType, data, length, info.keyFrame != 0);
  return 0;
}

void StreamTap::Keep(const std::vector<uint8_t>& bytes) {
  if (keepBytes_) recorded_.insert(recorded_.end(), bytes.begin(), bytes.end());
}

void StreamTap::Keep(const uint8_t* data, uint32_t length) {
  if (keepBytes_) recorded_.insert(recorded_.end(), data, data + length);
}

void StreamTap::Deliver(int32_t dataType, const uint8_t* data, uint32_t length, bool key) {
  {
    std::lock_guard lock(mutex_);
    TapCounts& c = counts_;
    ++c.packets;
    if (key && dataType != kStreamDataVideo) ++c.badKeyField;
    switch (dataType) {
      case kStreamDataFirstHeader:
        ++c.firstHeaders;
        if (firstHeader_.empty()) firstHeader_.assign(data, data + length);
        if (latestHeader_.empty()) latestHeader_.assign(data, data + length);
        break;
      case kStreamDataLaterHeader:
        ++c.laterHeaders;
        latestHeader_.assign(data, data + length);
        break;
      case kStreamDataVideo:
        ++c.frames;
        c.videoBytes += length;
        if (key) ++c.keyFrames;
        break;
      case kStreamDataAux:
        ++c.auxPackets;
        c.auxBytes += length;
        break;
      default:
        ++c.otherPackets;
        break;
    }
    if (armed_) {
      if (dataType == kStreamDataVideo) gapTracker_.Frame(GapTracker::Clock::now());
      if (dataType == kStreamDataLaterHeader) gapTracker_.Restart();
      c.gaps = gapTracker_.Report();
      bool isMedia = dataType == kStreamDataVideo || dataType == kStreamDataAux;
      if (!c.recordingOpened) {
        // The recording opens with the first header ever delivered on the slot.
        if (dataType == kStreamDataVideo && key && !firstHeader_.empty()) {
          c.recordingOpened = true;
          writtenHeader_ = firstHeader_;
          c.recordedBytes += writtenHeader_.size();
          Keep(writtenHeader_);
          headerPending_ = latestHeader_ != writtenHeader_;
          if (headerPending_) {
            writtenHeader_ = latestHeader_;
            c.recordedBytes += writtenHeader_.size();
            Keep(writtenHeader_);
            headerPending_ = false;
          }
        }
      } else if (dataType == kStreamDataLaterHeader) {
        headerPending_ = latestHeader_ != writtenHeader_;
      } else if (isMedia && headerPending_) {
        if (dataType == kStreamDataVideo && key) {
          writtenHeader_ = latestHeader_;
          c.recordedBytes += writtenHeader_.size();
          Keep(writtenHeader_);
          headerPending_ = false;
        } else {
          isMedia = false;  // left out until the new header can go in
        }
      }
      if (c.recordingOpened && isMedia) {
        c.recordedBytes += length;
        Keep(data, length);
        if (dataType == kStreamDataVideo) ++c.recordedFrames;
        if (dataType == kStreamDataVideo && key) ++c.recordedKeyFrames;
      }
    }
  }
  changed_.notify_all();
}

}  // namespace qrv::host
