// One recording of a slot: its file and the state of the writer that fills it.
//
// Made by the slot's owner when a recording starts and destroyed (closing the
// file) when it stops, after the last write using it has returned. The fields
// are the writer's: one packet thread writes at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/record_file.h"

namespace qrv::device {

struct RecordingSession {
  std::unique_ptr<platform::RecordFile> file;
  // Distinct for every recording of the process: writes held back for one
  // recording never go into a later one that reuses the same memory.
  uint64_t id = 0;
  // Frames wait for a key frame (at the start, after a failed write, after a
  // header change or a stream switch).
  bool waitingForKey = true;
  // A key frame has been written: the file continues from recordHeader.
  bool started = false;
  // Writes failed and the recording has not resumed yet: skipped frames count
  // as lost, and the resuming key frame gets its header again.
  bool failing = false;
  // A header different from the file's arrived: video frames wait for a key
  // frame (auxiliary data goes on).
  bool headerChanged = false;
};

}  // namespace qrv::device
