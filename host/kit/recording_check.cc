#include "host/kit/recording_check.h"

namespace qrv::host {

RecordingVerdict JudgeRecording(const RecordingEvidence& e) {
  if (!e.fileMade) return RecordingVerdict::kNoFile;
  // The plug-in writes a header only with a key frame, so no frame means
  // nothing playable, whatever bytes are there.
  const bool anyBytes = e.pluginBytes >= 0 ? e.pluginBytes > 0 : e.fileBytes > 0;
  if (e.framesRecorded == 0 || !anyBytes) return RecordingVerdict::kNothingRecorded;
  if (!e.fileReadable) return RecordingVerdict::kUnreadable;
  if (e.pluginBytes >= 0 && e.fileBytes < static_cast<uint64_t>(e.pluginBytes))
    return RecordingVerdict::kFileShort;
  if (e.bytesLost > 0 || e.writeErrors > 0) return RecordingVerdict::kDataLost;
  if (e.hasGaps && e.failOnGap) return RecordingVerdict::kGaps;
  return RecordingVerdict::kRecorded;
}

}  // namespace qrv::host
