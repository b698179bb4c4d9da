// Stream sessions of a simulated device: the frame ticker, per-session
// delivery with drop-until-key on overload, flood mode and injected faults.
#include "simulator/device/device_impl.h"
#include "simulator/media/aux_data.h"
#include "tmcc/native/codec/builders.h"
#include "tmcc/native/codec/frame.h"

namespace qrv::sim {

namespace proto = tmcc::protocol;

namespace {
// A viewer further behind than this loses frames up to the next IDR instead
// of letting its queue grow without bound.
constexpr size_t kMaxQueuedBytes = 4u * 1024 * 1024;
}  // namespace

void Device::Impl::ScheduleTick(uint64_t generation) {
  const auto period = std::chrono::microseconds(1000000 / source_->Settings().fps);
  const auto now = std::chrono::steady_clock::now();
  nextTick_ += period;
  // After a long hiccup, resume the cadence instead of sending a burst.
  if (nextTick_ + std::chrono::seconds(1) < now) nextTick_ = now + period;
  tickTimer_.expires_at(nextTick_);
  tickTimer_.async_wait(asio::bind_executor(
      strand_, [this, self = shared_from_this(), generation](const asio::error_code& error) {
        if (error || stopped_ || mediaStopped_ || generation != generation_) return;
        Tick();
        ScheduleTick(generation);
      }));
}

void Device::Impl::Tick() {
  bool watchers = false;
  for (const auto& s : sessions_)
    if (s->kind() == Session::Kind::kStream && s->LoggedIn() && !s->flooding) watchers = true;
  if (rtsp_->HasViewers()) watchers = true;
  PtzPosition view;
  bool muted = true;
  {
    std::lock_guard<std::mutex> lock(obsMutex_);
    view = ptz_.Position(std::chrono::steady_clock::now());
    muted = obs_.muted;
  }
  SourceFrame frame;
  if (!source_->Next(view, !watchers, frame)) return;
  if (frame.data && !source_->Replay()) Record([](Observations& o) { ++o.framesEncoded; });
  if (!watchers) return;

  std::shared_ptr<const std::vector<uint8_t>> aux;
  if (!muted)
    aux = std::make_shared<const std::vector<uint8_t>>(
        BuildAudioAuxPacket(frame.number, source_->Settings().fps));
  // Sending may close a session, which edits sessions_: iterate a copy.
  auto sessions = sessions_;
  for (auto& s : sessions) {
    if (s->kind() != Session::Kind::kStream || !s->LoggedIn() || s->flooding || s->Closed())
      continue;
    if (stalled_) {
      s->needKey = true;  // resume cleanly at an IDR once the stall ends
      continue;
    }
    if (s->pendingFault) {
      SendFault(*s);
      continue;
    }
    DeliverVideo(*s, frame);
    if (aux && !s->needKey) DeliverAux(*s, frame.number, aux);
  }
  rtsp_->Deliver(frame);
}

bool Device::Impl::BuildStreamFrame(Session& session, uint8_t frameType, bool key,
                                    uint64_t frameNumber, std::span<const uint8_t> data,
                                    std::vector<uint8_t>& out) {
  const MediaSettings& media = source_->Settings();
  proto::StreamData packet;
  packet.frameType = frameType;
  packet.keyFrame = key ? 1 : 0;
  packet.channel = 0;
  packet.width = static_cast<uint32_t>(media.width);
  packet.height = static_cast<uint32_t>(media.height);
  packet.sequence = session.nextSequence;
  packet.timestampMs = frameNumber * 1000 / static_cast<uint64_t>(media.fps);
  packet.data = data;
  return proto::BuildStreamData(out, 0, packet);
}

StreamObservation* Device::Impl::StreamObs(const Session& session) {
  if (session.observationId < obs_.streamsForgotten) return nullptr;
  const uint64_t index = session.observationId - obs_.streamsForgotten;
  return index < obs_.streams.size() ? &obs_.streams[index] : nullptr;
}

void Device::Impl::CountSent(const Session& session, uint8_t frameType, bool key, size_t bytes) {
  Record([&](Observations&) {
    auto* found = StreamObs(session);
    if (!found) return;
    auto& s = *found;
    s.bytes += bytes;
    if (frameType == proto::kStreamHeader) ++s.headers;
    if (frameType == proto::kStreamAux) ++s.auxPackets;
    if (frameType == proto::kStreamVideo) {
      ++s.frames;
      if (key) ++s.keyFrames;
    }
  });
}

void Device::Impl::CountDropped(const Session& session) {
  Record([&](Observations&) {
    if (auto* found = StreamObs(session)) ++found->framesDropped;
  });
}

void Device::Impl::DeliverVideo(Session& session, const SourceFrame& frame) {
  if (!frame.data || mediaStopped_) return;
  if (session.needKey && !frame.key) {
    if (session.fellBehind) CountDropped(session);
    return;
  }
  std::vector<uint8_t> bytes;
  if (!BuildStreamFrame(session, proto::kStreamVideo, frame.key, frame.number, *frame.data, bytes))
    return;
  if (!session.Send(std::move(bytes), kMaxQueuedBytes)) {
    session.needKey = true;
    session.fellBehind = true;
    CountDropped(session);
    if (!source_->Replay()) source_->RequestKeyFrame();
    return;
  }
  session.fellBehind = false;
  ++session.nextSequence;
  session.needKey = false;
  CountSent(session, proto::kStreamVideo, frame.key, frame.data->size());
}

void Device::Impl::DeliverAux(Session& session, uint64_t frameNumber,
                              const std::shared_ptr<const std::vector<uint8_t>>& aux) {
  std::vector<uint8_t> bytes;
  if (!BuildStreamFrame(session, proto::kStreamAux, false, frameNumber, *aux, bytes)) return;
  if (!session.Send(std::move(bytes), kMaxQueuedBytes)) return;
  ++session.nextSequence;
  CountSent(session, proto::kStreamAux, false, aux->size());
}

void Device::Impl::StartStream(const std::shared_ptr<Session>& session) {
  Record([&](Observations& o) {
    constexpr size_t kKept = 1024;
    // Forget the oldest closed streams beyond the limit.
    size_t drop = 0;
    while (o.streams.size() - drop >= kKept && !o.streams[drop].active) ++drop;
    o.streams.erase(o.streams.begin(), o.streams.begin() + static_cast<ptrdiff_t>(drop));
    o.streamsForgotten += drop;
    StreamObservation s;
    s.streamType = session->StreamType();
    s.active = true;
    o.streams.push_back(s);
    session->observationId = o.streamsForgotten + o.streams.size() - 1;
  });

  // Every new stream session starts with the header, then video from an IDR.
  std::vector<uint8_t> bytes;
  const auto& header = source_->Header();
  if (!BuildStreamFrame(*session, proto::kStreamHeader, false, source_->FrameNumber(), header,
                        bytes)) {
    session->Close();
    return;
  }
  session->Send(std::move(bytes));
  ++session->nextSequence;
  CountSent(*session, proto::kStreamHeader, false, header.size());

  if (config_.flood) {
    session->flooding = true;
    session->needKey = false;
    session->floodCursor = 0;  // the loop starts with an IDR
    return;
  }
  if (source_->Replay()) {
    // Catch up from the current GOP's IDR so the viewer starts at once.
    for (const auto& frame : source_->FramesSinceKey()) DeliverVideo(*session, frame);
  } else {
    source_->RequestKeyFrame();
  }
}

bool Device::Impl::NextFloodFrame(Session& session, std::vector<uint8_t>& out) {
  if (!session.flooding || !source_->Replay() || stalled_ || mediaStopped_) return false;
  if (session.pendingFault) {
    SendFault(session);
    return false;
  }
  const auto& loop = *source_->Loop();
  const ReplayFrame& frame = loop.frames[session.floodCursor];
  if (!BuildStreamFrame(session, proto::kStreamVideo, frame.key, session.nextSequence, frame.data,
                        out))
    return false;
  ++session.nextSequence;
  session.floodCursor = (session.floodCursor + 1) % loop.frames.size();
  CountSent(session, proto::kStreamVideo, frame.key, frame.data.size());
  return true;
}

bool Device::Impl::SendFault(Session& session) {
  const int fault = session.pendingFault;
  session.pendingFault = 0;
  std::vector<uint8_t> bytes;
  if (fault == kFaultMalformed) {
    // A well-framed StreamData whose payload breaks its layout: the reserved
    // field after the key-frame flag is not zero.
    static const uint8_t kData[] = {0, 0, 0, 1, 0x09, 0xF0};
    if (!BuildStreamFrame(session, proto::kStreamVideo, false, session.nextSequence, kData, bytes))
      return false;
    bytes[proto::kFrameHeaderSize + 2] = 0xA5;
  } else {
    // A header declaring more than any frame may carry, followed by some of
    // the promised bytes.
    proto::AppendFrameHeader(
        bytes, proto::MessageType::kStreamData, 0,
        static_cast<uint32_t>(proto::kStreamDataPrefix) + proto::kMaxMediaBytes + 1);
    bytes.resize(bytes.size() + 64 * 1024, 0);
  }
  session.Send(std::move(bytes));
  session.CloseAfterFlush();
  return true;
}

}  // namespace qrv::sim
