// The host's StreamDataCallback for one slot: counts what the plug-in
// delivers and keeps a model of what a recording of the slot must hold, so a
// recording file can be checked against the frames actually delivered.
//
// Threads: OnData runs on the device library's thread (live packets) and on
// the registering host thread (header replay), possibly at once; every field
// is under the tap's mutex. Readers call Read/WaitUntil from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "host/kit/gap_tracker.h"
#include "qrvaccess/qrv_access.h"

namespace qrv::host {

struct TapCounts {
  uint64_t packets = 0;
  uint64_t frames = 0;      // type 2 deliveries
  uint64_t keyFrames = 0;   // type 2 with the key-frame field set
  uint64_t videoBytes = 0;  // bytes of type 2
  uint64_t auxPackets = 0;  // type 4
  uint64_t auxBytes = 0;
  uint64_t firstHeaders = 0;  // type 1
  uint64_t laterHeaders = 0;  // type 3
  uint64_t otherPackets = 0;  // type 0
  uint64_t badKeyField = 0;   // key-frame field set on a non-video delivery
  // What a recording that started when Arm was called must hold.
  uint64_t recordedFrames = 0;  // type 2
  uint64_t recordedKeyFrames = 0;
  uint64_t recordedBytes = 0;  // header bytes included
  bool recordingOpened = false;
  // Gaps while the recording model is armed.
  GapReport gaps;
};

class StreamTap {
 public:
  // Registers OnData for `slot` with this tap as its user value. The plug-in
  // replays its cached headers before this returns.
  int32_t Attach(IAccess& access, int32_t slot);
  // Replaces the registration with a null callback.
  static int32_t Detach(IAccess& access, int32_t slot);

  // From now on, model a recording: it opens at the first key frame with a
  // header known, holds that header and every later type 2 and type 4 packet;
  // when a later header differs from the one written, the new header goes in
  // before the next key frame and frames in between are left out.
  void Arm();
  // Stop modelling (the recording was stopped).
  void Disarm();
  // Keep a copy of the bytes the modelled recording holds (off by default;
  // for comparing a file byte for byte).
  void KeepRecordedBytes(bool keep);
  std::vector<uint8_t> RecordedBytes() const;

  TapCounts Read() const;
  // The first header delivered (type 1), as bytes.
  std::vector<uint8_t> FirstHeader() const;

  bool WaitUntil(const std::function<bool(const TapCounts&)>& done,
                 std::chrono::milliseconds timeout) const;

  static int32_t QRV_CALLBACK OnData(int32_t dataType, const uint8_t* data, uint32_t length,
                                     StreamFrameInfo info, uintptr_t user);

 private:
  void Deliver(int32_t dataType, const uint8_t* data, uint32_t length, bool key);
  void Keep(const std::vector<uint8_t>& bytes);
  void Keep(const uint8_t* data, uint32_t length);

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  TapCounts counts_;
  std::vector<uint8_t> firstHeader_;
  std::vector<uint8_t> latestHeader_;
  // Recording model.
  bool armed_ = false;
  std::vector<uint8_t> writtenHeader_;
  bool headerPending_ = false;
  bool keepBytes_ = false;
  std::vector<uint8_t> recorded_;
  GapTracker gapTracker_;
};

}  // namespace qrv::host
