#include "simulator/media/replay_loop.h"

#include <map>
#include <mutex>
#include <tuple>

#include "simulator/media/h264_encoder.h"
#include "simulator/media/scene.h"

namespace qrv::sim {

size_t ReplayLoop::NextKeyIndex(size_t index) const {
  for (size_t i = index; i < frames.size(); ++i)
    if (frames[i].key) return i;
  return 0;
}

size_t ReplayLoopLength(const MediaSettings& s) {
  const size_t minFrames = static_cast<size_t>(s.fps) * 4;
  const size_t gop = static_cast<size_t>(s.gop);
  return ((minFrames + gop - 1) / gop) * gop;
}

std::shared_ptr<const ReplayLoop> EncodeReplayLoop(const MediaSettings& settings,
                                                   std::string* error) {
  auto encoder = H264Encoder::Create(settings, error);
  if (!encoder) return nullptr;
  auto loop = std::make_shared<ReplayLoop>();
  loop->settings = settings;
  loop->header = encoder->Header();
  const size_t length = ReplayLoopLength(settings);
  loop->frames.reserve(length);
  I420Picture picture;
  picture.Resize(settings.width, settings.height);
  // Rate control starts from a guess: its first GOP comes out far smaller
  // than the rest. One GOP encoded and thrown away first, so the loop holds
  // the bitrate from its first frame.
  if (settings.bitrateKbps > 0) {
    for (int i = 0; i < settings.gop; ++i) {
      RenderScene(PtzPosition{}, length + static_cast<size_t>(i), picture);
      AddSensorGrain(length + static_cast<size_t>(i), picture);
      EncodedFrame frame;
      if (!encoder->Encode(picture, false, frame)) {
        if (error) *error = "encoding the replay loop failed";
        return nullptr;
      }
    }
  }
  for (size_t i = 0; i < length; ++i) {
    RenderScene(PtzPosition{}, i, picture);
    if (settings.bitrateKbps > 0) AddSensorGrain(i, picture);
    EncodedFrame frame;
    // The loop restarts with an IDR, so its end joins its start cleanly.
    if (!encoder->Encode(picture, i == 0, frame)) {
      if (error) *error = "encoding the replay loop failed";
      return nullptr;
    }
    loop->totalBytes += frame.data.size();
    loop->frames.push_back({std::move(frame.data), frame.key});
  }
  return loop;
}

std::shared_ptr<const ReplayLoop> SharedReplayLoop(const MediaSettings& settings,
                                                   std::string* error) {
  using Key = std::tuple<int, int, int, int, int>;
  static std::mutex mutex;
  static std::map<Key, std::shared_ptr<const ReplayLoop>> cache;
  // Held while encoding, so concurrent callers for the same settings wait for
  // the one loop instead of each encoding their own.
  std::lock_guard<std::mutex> lock(mutex);
  const Key key{settings.width, settings.height, settings.fps, settings.gop, settings.bitrateKbps};
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  auto loop = EncodeReplayLoop(settings, error);
  if (loop) cache.emplace(key, loop);
  return loop;
}

}  // namespace qrv::sim
