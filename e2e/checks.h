// Checks shared by the end-to-end programs: what a recording file must be,
// and waiting on a stream tap with the stream's story in the failure.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "host/kit/annexb_scan.h"
#include "host/kit/media_probe.h"
#include "host/kit/requests.h"
#include "host/kit/stream_tap.h"

namespace qrv::e2e {

std::string Describe(const host::TapCounts& c);

struct FileCheck {
  host::ProbeResult probe;
  host::AnnexBSummary scan;
  int64_t bytes = -1;
};

// ffprobe's view and our own scan of a recording.
FileCheck Inspect(const std::string& path);

// The recording is a valid H.264 stream that begins with SPS, PPS and an IDR
// picture and decodes to exactly `frames` pictures.
void ExpectSoundRecording(const FileCheck& file, uint64_t frames);

::testing::AssertionResult WaitForTap(const host::StreamTap& tap,
                                      const std::function<bool(const host::TapCounts&)>& done,
                                      int ms = 10000);

// A login for the length of a test, through the program's World. Logging out
// closes the stream and stops the recording, after which no callback reaches
// the tap, so the tap (a member, destroyed after the destructor's body)
// outlives every delivery even when an assertion ends the test early.
struct ScopedLogin {
  explicit ScopedLogin(const host::Credentials& device);
  ~ScopedLogin();
  ScopedLogin(const ScopedLogin&) = delete;
  ScopedLogin& operator=(const ScopedLogin&) = delete;
  // Logs out now; the plug-in's result.
  int32_t Release();
  int32_t slot = -1;
  host::StreamTap tap;
};

}  // namespace qrv::e2e
