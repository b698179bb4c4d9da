// Requests on a simulated device's sessions: key frame, snapshot, mute,
// voice talk and PTZ.
#include "simulator/device/device_impl.h"
#include "tmcc/native/codec/builders.h"

namespace qrv::sim {

namespace proto = tmcc::protocol;

void Device::Impl::OnRequest(const std::shared_ptr<Session>& session, uint32_t requestId,
                             const proto::Request& request) {
  std::vector<uint8_t> jpeg;
  proto::Answer answer = Handle(*session, request, jpeg);
  std::vector<uint8_t> frame;
  if (!proto::BuildAnswer(frame, requestId, answer)) {
    // Only a snapshot too large for one frame gets here.
    answer = proto::Answer{};
    answer.status = proto::AnswerStatus::kUnavailable;
    frame.clear();
    proto::BuildAnswer(frame, requestId, answer);
  }
  session->Send(std::move(frame));
}

proto::Answer Device::Impl::Handle(Session& session, const proto::Request& request,
                                   std::vector<uint8_t>& jpeg) {
  proto::Answer answer;
  answer.status = proto::AnswerStatus::kOk;
  if (session.kind() == Session::Kind::kStream && request.code != proto::RequestCode::kSetMute) {
    answer.status = proto::AnswerStatus::kRefused;
    return answer;
  }
  switch (request.code) {
    case proto::RequestCode::kKeyFrame:
      source_->RequestKeyFrame();
      Record([](Observations& o) { ++o.keyFrameRequests; });
      break;
    case proto::RequestCode::kSnapshot: {
      if (request.arg0 != proto::kSnapshotJpeg) {
        answer.status = proto::AnswerStatus::kRefused;
        break;
      }
      PtzPosition view;
      {
        std::lock_guard<std::mutex> lock(obsMutex_);
        view = ptz_.Position(std::chrono::steady_clock::now());
      }
      jpeg = source_->Snapshot(view);
      if (jpeg.empty()) {
        answer.status = proto::AnswerStatus::kUnavailable;
        break;
      }
      answer.width = static_cast<uint32_t>(source_->Settings().width);
      answer.height = static_cast<uint32_t>(source_->Settings().height);
      answer.data = jpeg;
      Record([](Observations& o) { ++o.snapshots; });
      break;
    }
    case proto::RequestCode::kSetMute:
      if (request.arg0 != 0 && request.arg0 != 1) {
        answer.status = proto::AnswerStatus::kRefused;
        break;
      }
      Record([&](Observations& o) { o.muted = request.arg0 == 1; });
      break;
    case proto::RequestCode::kVoiceStart:
      // One voice session at a time.
      if (voiceOwned_) {
        answer.status = proto::AnswerStatus::kUnavailable;
        break;
      }
      voiceOwned_ = true;
      session.holdsVoice = true;
      Record([](Observations& o) {
        o.voiceActive = true;
        ++o.voiceStarted;
      });
      break;
    case proto::RequestCode::kVoiceStop:
      if (voiceOwned_) EndVoice();
      break;
    case proto::RequestCode::kPtz:
      if (Ptz(request.arg0, request.arg1, request.arg2) != 0)
        answer.status = proto::AnswerStatus::kRefused;
      break;
    default:
      answer.status = proto::AnswerStatus::kUnknownRequest;
      break;
  }
  return answer;
}

void Device::Impl::EndVoice() {
  voiceOwned_ = false;
  for (auto& s : sessions_) s->holdsVoice = false;
  Record([](Observations& o) {
    o.voiceActive = false;
    ++o.voiceStopped;
  });
}

}  // namespace qrv::sim
