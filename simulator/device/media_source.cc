#include "simulator/device/media_source.h"

#include "simulator/media/annexb.h"
#include "simulator/media/jpeg.h"
#include "simulator/media/scene.h"

namespace qrv::sim {

std::unique_ptr<MediaSource> MediaSource::Create(const MediaSettings& settings, bool replay,
                                                 bool h265NalHeaders, bool h265,
                                                 std::string* error) {
  std::unique_ptr<MediaSource> source(new MediaSource);
  source->settings_ = settings;
  if (replay) {
    source->loop_ = SharedReplayLoop(settings, error);
    if (!source->loop_) return nullptr;
  } else if (h265) {
    source->h265Encoder_ = H265Encoder::Create(settings, error);
    if (!source->h265Encoder_) return nullptr;
  } else {
    source->encoder_ = H264Encoder::Create(settings, error);
    if (!source->encoder_) return nullptr;
    source->h265NalHeaders_ = h265NalHeaders;
    if (h265NalHeaders) source->h265Header_ = WithH265NalHeaders(source->encoder_->Header());
  }
  source->picture_.Resize(settings.width, settings.height);
  return source;
}

const std::vector<uint8_t>& MediaSource::Header() const {
  if (h265NalHeaders_) return h265Header_;
  if (h265Encoder_) return h265Encoder_->Header();
  return loop_ ? loop_->header : encoder_->Header();
}

bool MediaSource::Next(const PtzPosition& view, bool skipEncoding, SourceFrame& out) {
  out = SourceFrame{};
  out.number = number_;
  if (loop_) {
    if (keyRequested_) {
      cursor_ = loop_->NextKeyIndex(cursor_);
      keyRequested_ = false;
    }
    const ReplayFrame& frame = loop_->frames[cursor_];
    // Aliases the shared loop: no copy, and the loop lives while the frame does.
    out.data = std::shared_ptr<const std::vector<uint8_t>>(loop_, &frame.data);
    out.key = frame.key;
    cursor_ = (cursor_ + 1) % loop_->frames.size();
  } else if (!skipEncoding) {
    RenderScene(view, number_, picture_);
    if (settings_.bitrateKbps > 0) AddSensorGrain(number_, picture_);
    EncodedFrame encoded;
    const bool encodedOk = h265Encoder_ ? h265Encoder_->Encode(picture_, keyRequested_, encoded)
                                        : encoder_->Encode(picture_, keyRequested_, encoded);
    if (!encodedOk) return false;
    keyRequested_ = false;
    out.key = encoded.key;
    if (h265NalHeaders_) encoded.data = WithH265NalHeaders(encoded.data);
    out.data = std::make_shared<const std::vector<uint8_t>>(std::move(encoded.data));
  }
  ++number_;
  return true;
}

std::vector<SourceFrame> MediaSource::FramesSinceKey() const {
  std::vector<SourceFrame> frames;
  if (!loop_ || number_ == 0) return frames;
  const size_t n = loop_->frames.size();
  const size_t last = (cursor_ + n - 1) % n;  // the frame sent most recently
  size_t start = last;
  while (!loop_->frames[start].key) start = (start + n - 1) % n;
  for (size_t i = start;; i = (i + 1) % n) {
    const uint64_t back = (last + n - i) % n;
    frames.push_back({std::shared_ptr<const std::vector<uint8_t>>(loop_, &loop_->frames[i].data),
                      loop_->frames[i].key, number_ - 1 - back});
    if (i == last) break;
  }
  return frames;
}

std::vector<uint8_t> MediaSource::Snapshot(const PtzPosition& view) {
  RenderScene(view, number_, picture_);
  return EncodeJpeg(picture_);
}

}  // namespace qrv::sim
