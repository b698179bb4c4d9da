#include "host/demo/demo_report.h"

#include <cstdio>

namespace qrv::host {

bool DeviceReport::RecordingSound() const {
  return probe.ran && framesRecorded > 0 &&
         probe.decodedFrames == static_cast<int64_t>(framesRecorded) &&
         scan.pictures == framesRecorded && scan.firstVclType == 5 && scan.parameterSetsFirst &&
         scan.leadingGarbage == 0 && fileBytes == static_cast<int64_t>(bytesRecorded);
}

void PrintReport(const std::vector<DeviceReport>& reports) {
  std::printf("\n%-14s %4s %8s %10s  %-26s %-10s %s\n", "DEVICE", "SLOT", "FRAMES", "BYTES",
              "FFPROBE", "CHECK", "SNAPSHOT");
  for (const DeviceReport& r : reports) {
    char probe[64];
    if (r.probe.ran) {
      std::snprintf(probe, sizeof probe, "%s %dx%d %lld fr", r.probe.codec.c_str(), r.probe.width,
                    r.probe.height, static_cast<long long>(r.probe.decodedFrames));
    } else {
      std::snprintf(probe, sizeof probe, "failed");
    }
    char snapshot[64];
    if (r.snapshotBytes >= 0) {
      std::snprintf(snapshot, sizeof snapshot, "%lld bytes %dx%d",
                    static_cast<long long>(r.snapshotBytes), r.snapshotWidth, r.snapshotHeight);
    } else {
      std::snprintf(snapshot, sizeof snapshot, "missing");
    }
    std::printf("%-14s %4d %8llu %10lld  %-26s %-10s %s\n", r.address.c_str(), r.slot,
                static_cast<unsigned long long>(r.framesRecorded),
                static_cast<long long>(r.fileBytes), probe, r.RecordingSound() ? "ok" : "MISMATCH",
                snapshot);
  }
  std::printf(
      "FRAMES: frames delivered to the host from the first key frame of the recording; "
      "CHECK: ffprobe decodes exactly that many frames, the file starts with SPS, PPS "
      "and an IDR picture and holds exactly the bytes delivered.\n");
}

}  // namespace qrv::host
