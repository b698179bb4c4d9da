#include "media/packet_kind.h"

#include "devicelib/tmcc_records.h"
#include "qrvaccess/qrv_access.h"

namespace qrv::media {

PacketKind ClassifyPacket(uint8_t frameType, uint8_t keyFlag, int32_t headerCount) {
  switch (frameType) {
    case devicelib::kFrameVideo:
      return {kStreamDataVideo, keyFlag != 0 ? 1u : 0u};
    case devicelib::kFrameAuxData:
      return {kStreamDataAux, 0};
    case devicelib::kFrameHeader:
      return {headerCount == 1 ? kStreamDataFirstHeader : kStreamDataLaterHeader, 0};
    default:
      return {kStreamDataOther, 0};
  }
}

bool IsRecordedFrame(uint8_t frameType) {
  return frameType == devicelib::kFrameVideo || frameType == devicelib::kFrameAuxData;
}

bool IsKeyFrame(uint8_t frameType, uint8_t keyFlag) {
  return frameType == devicelib::kFrameVideo && keyFlag != 0;
}

}  // namespace qrv::media
