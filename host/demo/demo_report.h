// The demo's closing table: per device, what was recorded and what ffprobe
// and the JPEG decoder say of the files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/kit/annexb_scan.h"
#include "host/kit/media_probe.h"

namespace qrv::host {

struct DeviceReport {
  std::string address;
  int32_t slot = -1;
  uint64_t framesRecorded = 0;  // frames the recording must hold, from the deliveries
  uint64_t bytesRecorded = 0;   // the same, in bytes
  int64_t fileBytes = -1;
  ProbeResult probe;
  AnnexBSummary scan;
  int64_t snapshotBytes = -1;
  int snapshotWidth = 0;
  int snapshotHeight = 0;

  // The file decodes to exactly the frames recorded and starts with SPS, PPS
  // and an IDR picture.
  bool RecordingSound() const;
};

// Prints the table to standard output.
void PrintReport(const std::vector<DeviceReport>& reports);

}  // namespace qrv::host
