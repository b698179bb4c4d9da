#include "e2e/checks.h"

#include <chrono>

#include "e2e/e2e_world.h"

namespace qrv::e2e {

std::string Describe(const host::TapCounts& c) {
  return "packets " + std::to_string(c.packets) + ", frames " + std::to_string(c.frames) +
         ", key frames " + std::to_string(c.keyFrames) + ", headers " +
         std::to_string(c.firstHeaders) + "+" + std::to_string(c.laterHeaders) + ", aux " +
         std::to_string(c.auxPackets) + ", recorded " + std::to_string(c.recordedFrames) +
         (c.recordingOpened ? " (opened)" : " (not opened)");
}

FileCheck Inspect(const std::string& path) {
  FileCheck check;
  check.probe = host::ProbeH264File(path);
  auto bytes = host::ReadFileBytes(path);
  if (bytes) {
    check.bytes = static_cast<int64_t>(bytes->size());
    check.scan = host::ScanAnnexB(*bytes);
  }
  return check;
}

void ExpectSoundRecording(const FileCheck& file, uint64_t frames) {
  ASSERT_TRUE(file.probe.ran) << file.probe.error;
  EXPECT_EQ(file.probe.codec, "h264");
  EXPECT_GT(frames, 0u);
  EXPECT_EQ(file.probe.decodedFrames, static_cast<int64_t>(frames));
  EXPECT_EQ(file.scan.pictures, frames);
  EXPECT_EQ(file.scan.leadingGarbage, 0u);
  EXPECT_EQ(file.scan.firstVclType, 5) << "the first picture must be an IDR";
  EXPECT_TRUE(file.scan.parameterSetsFirst);
}

::testing::AssertionResult WaitForTap(const host::StreamTap& tap,
                                      const std::function<bool(const host::TapCounts&)>& done,
                                      int ms) {
  if (tap.WaitUntil(done, std::chrono::milliseconds(ms))) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "stream so far: " << Describe(tap.Read());
}

ScopedLogin::ScopedLogin(const host::Credentials& device) {
  host::Reply reply = World::Get().requests().Login(device);
  EXPECT_EQ(reply.code, 0) << host::DescribeExecuteResult(reply.code);
  slot = reply.ok() ? reply.OutputInt("LOGINID") : -1;
}

ScopedLogin::~ScopedLogin() {
  if (slot >= 0) World::Get().requests().Logout(slot);
}

int32_t ScopedLogin::Release() {
  int32_t s = slot;
  slot = -1;
  return World::Get().requests().Logout(s).code;
}

}  // namespace qrv::e2e
