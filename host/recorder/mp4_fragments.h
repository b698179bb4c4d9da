// Writes one segment as fragmented MP4 into a SegmentFile: an ftyp and an
// empty moov first, then one moof+mdat fragment per key frame or per second
// of video, whichever comes first. Each fragment reaches the SegmentFile as
// one whole unit and is written at once, so the file on disk always ends at
// a fragment boundary and a crash loses at most the fragment being gathered. Frames keep the codec
// they came in (H.264 or H.265, no transcoding); the muxer turns the Annex B
// parameter sets into the sample entry's configuration and the frames into
// length-prefixed samples. Each sample's time is the one given to Frame; a
// pause in the stream stays a pause in the file (no frame is invented).
//
// Threads: one owner at a time (the segmenter, under its mutex); no internal
// locking.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "host/kit/annexb_scan.h"
#include "host/recorder/segment_file.h"

struct AVFormatContext;
struct AVIOContext;
struct AVPacket;

namespace qrv::recorder {

class Mp4Fragments {
 public:
  // Longest span of video one fragment holds.
  static constexpr std::chrono::milliseconds kMaxFragment{1000};

  // `header`: the stream's Annex B parameter sets; `keyFrame`: the first
  // frame, which tells the picture size. Writes the file's header (ftyp,
  // moov) to `file`, which must outlive this. Null with *error when the
  // muxer refuses the stream or the header cannot be written.
  static std::unique_ptr<Mp4Fragments> Create(host::StreamCodec codec,
                                              std::span<const uint8_t> header,
                                              std::span<const uint8_t> keyFrame, SegmentFile& file,
                                              std::string* error);
  ~Mp4Fragments();
  Mp4Fragments(const Mp4Fragments&) = delete;
  Mp4Fragments& operator=(const Mp4Fragments&) = delete;

  // One Annex B frame captured `at` after the segment's start (the first
  // frame, given to Create, too). Times that do not increase are moved just
  // past the previous one. Each frame is held until the next one arrives,
  // which gives its exact duration (a pause lengthens the frame before it).
  // False when the frame, or frames before it, could not be written: the
  // file's lostFrames() and lostFrames() here count the earlier ones, the
  // frame given here is not among them.
  bool Frame(std::span<const uint8_t> annexB, bool key, std::chrono::microseconds at);
  // Writes the held frame and the last fragment; the file itself is
  // finished by its owner. False when they could not be written.
  bool Finish();

  // Frames accepted earlier that the muxer (not the file) lost.
  uint64_t lostFrames() const { return lostFrames_; }
  const std::string& error() const { return error_; }

 private:
  Mp4Fragments(host::StreamCodec codec, SegmentFile& file);
  bool Start(std::span<const uint8_t> header, std::span<const uint8_t> keyFrame);
  // Gives the held frame to the muxer, lasting `duration` ticks.
  bool WriteHeld(int64_t duration);
  // Ends the open fragment and hands it to the file as one unit.
  bool FlushFragment();
  // Hands what the muxer wrote to the file as one unit of `frames` frames.
  bool HandOver(uint32_t frames);
  bool Fail(const std::string& what, int code);
  static int OnWrite(void* self, uint8_t* data, int size);

  const host::StreamCodec codec_;
  SegmentFile& file_;
  AVFormatContext* format_ = nullptr;
  AVIOContext* io_ = nullptr;
  AVPacket* packet_ = nullptr;
  std::vector<uint8_t> written_;  // what the muxer wrote since the last hand-over
  bool failed_ = false;
  std::vector<uint8_t> held_;  // the latest frame, waiting for its duration
  bool heldKey_ = false;
  bool holding_ = false;
  int64_t heldTicks_ = 0;       // in the stream's time base
  int64_t lastDuration_ = 0;    // of the frame written last
  uint32_t pendingFrames_ = 0;  // given to the muxer, not yet to the file
  int64_t fragmentStart_ = 0;   // time of the open fragment's first frame
  uint64_t lostFrames_ = 0;
  std::string error_;
};

}  // namespace qrv::recorder
