// How a finished recording is judged from counts alone: the plug-in's (or,
// from a plug-in without them, the stream tap's model) and the file's size.
// Nothing here reads the file, so the judgement costs the same for a file of
// any size, and holds for any codec.
#pragma once

#include <cstdint>

namespace qrv::host {

struct RecordingEvidence {
  bool fileMade = false;
  bool fileReadable = true;  // its start could be read
  uint64_t fileBytes = 0;
  int64_t pluginBytes = -1;     // RecordedBytes; -1 when the plug-in does not say
  uint64_t framesRecorded = 0;  // video frames written to the file
  int64_t bytesLost = -1;       // -1 when the plug-in does not say
  int64_t writeErrors = -1;
  bool hasGaps = false;
  bool failOnGap = false;
};

// In the order they are checked; the first that applies is the verdict.
enum class RecordingVerdict {
  kRecorded,
  kNoFile,
  kNothingRecorded,  // no video frame went into the file
  kUnreadable,
  kFileShort,  // the file holds less than the plug-in wrote to it
  kDataLost,   // writes failed: frames are missing
  kGaps,       // with failOnGap only
};

RecordingVerdict JudgeRecording(const RecordingEvidence& evidence);

}  // namespace qrv::host
