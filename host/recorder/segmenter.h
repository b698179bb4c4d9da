// Cuts one device's stream into segment files on the host side, from the
// packets the plug-in hands to the host's data callback. Every segment opens
// at a key frame with the latest stream header, so it decodes on its own; a
// segment ends at the first key frame after its duration, on a gap in the
// stream (a new header means the device library reconnected), on a write
// error, or when the device stops. Each frame goes into exactly one segment.
//
// Threads: OnPacket runs on the device library's thread; Finish, Counts and
// the setters on device threads. Everything is under the segmenter's mutex,
// which is held while writing into the current segment's buffer (never while
// calling the plug-in).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "host/kit/gap_tracker.h"
#include "host/recorder/config.h"
#include "host/recorder/json_log.h"
#include "host/recorder/mp4_fragments.h"
#include "host/recorder/segment_closer.h"
#include "host/recorder/segment_file.h"

namespace qrv::recorder {

struct SegmenterCounts {
  uint64_t packets = 0;
  uint64_t bytes = 0;
  uint64_t headers = 0;
  uint64_t frames = 0;  // video frames received
  uint64_t keyFrames = 0;
  uint64_t framesRecorded = 0;  // frames accepted into segments
  uint64_t framesSkipped = 0;   // frames before a key frame could open a segment
  uint64_t framesLost = 0;      // frames a failed write lost
  uint64_t gaps = 0;
  // Frames the device would have sent in the gaps, estimated from the
  // stream's usual frame interval.
  uint64_t framesMissing = 0;
  uint64_t segments = 0;  // segments opened
  uint64_t writeErrors = 0;
  // Auxiliary packets an MP4 segment has no place for (Annex B keeps them).
  uint64_t auxSkipped = 0;
  bool recording = false;  // a segment is open
  bool failing = false;    // the last attempt to open a segment failed
  std::chrono::steady_clock::time_point lastPacket{};
};

struct SegmenterClock {
  std::function<std::chrono::steady_clock::time_point()> steady = [] {
    return std::chrono::steady_clock::now();
  };
  std::function<std::chrono::system_clock::time_point()> wall = [] {
    return std::chrono::system_clock::now();
  };
};

class Segmenter {
 public:
  // In MP4 segments each frame's time is its arrival (the steady clock):
  // the packets carry no capture time.
  Segmenter(std::string device, std::string folder, std::chrono::seconds duration, JsonLog& log,
            SegmentCloser& closer, SegmenterClock clock = {},
            SegmentFormat format = SegmentFormat::kAnnexB);
  ~Segmenter();

  // One packet as the data callback received it (type: StreamDataType).
  void OnPacket(int32_t type, const uint8_t* data, uint32_t length, bool keyFrame);

  // The stream is about to be closed and opened again by the recorder itself:
  // whatever comes next is a new stream.
  void MarkRestart(const std::string& reason);

  // Ends the current segment (device stopped or removed); the next packet
  // starts over at a key frame.
  void Finish(const std::string& reason);

  SegmenterCounts Counts() const;

 private:
  void OpenGap(const std::string& reason, std::chrono::system_clock::time_point from);
  void OpenSegment(std::chrono::steady_clock::time_point now, std::span<const uint8_t> keyFrame);
  void EndSegment(const std::string& reason);
  // Counts and logs a failed write that lost `lost` frames, `counted` of
  // which were counted as recorded.
  void WriteFailed(uint64_t lost, uint64_t counted, const std::string& error);
  std::string NextPath(std::chrono::system_clock::time_point start, std::string* part);

  const std::string device_;
  const std::string folder_;
  const std::chrono::seconds duration_;
  JsonLog& log_;
  SegmentCloser& closer_;
  SegmenterClock clock_;
  const SegmentFormat format_;

  mutable std::mutex mutex_;
  SegmenterCounts counts_;
  std::vector<uint8_t> header_;
  std::unique_ptr<SegmentFile> file_;
  std::unique_ptr<Mp4Fragments> mp4_;  // writes into file_ in MP4 segments
  SegmentInfo info_;
  std::chrono::steady_clock::time_point opened_{};
  std::chrono::system_clock::time_point lastPacketWall_{};
  bool gapOpen_ = false;  // a discontinuity not yet followed by a new segment
  std::string gapReason_;
  std::chrono::system_clock::time_point gapFrom_{};
  uint64_t gapSkipped_ = 0;
  host::GapTracker arrivals_;      // pauses between frames, by arrival time
  uint64_t missingAtGapOpen_ = 0;  // arrivals_' estimate when the gap opened
  bool openFailing_ = false;       // the last attempt to open a segment failed
  // Frames the closer lost finishing this device's segments.
  std::shared_ptr<std::atomic<uint64_t>> lostAtClose_ = std::make_shared<std::atomic<uint64_t>>(0);
};

}  // namespace qrv::recorder
