// End to end: a recording onto a small file system that fills up, then gets
// room again. The file must decode throughout, and the plug-in must account
// for every byte the host saw but the file does not hold.
//
// Needs root: the program moves into a mount namespace of its own and mounts a
// 1 MiB tmpfs there; without root the test is skipped.
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/e2e_world.h"
#include "host/kit/annexb_scan.h"
#include "host/kit/media_probe.h"
#include "host/kit/stream_tap.h"
#include "support/temp_dir.h"

namespace qrv::e2e {
namespace {

using host::StreamTap;
using host::TapCounts;
using std::chrono::milliseconds;

bool gPrivateMounts = false;
std::string gWhyNoMounts;

host::FleetOptions FleetForThisProgram() {
  host::FleetOptions options;
  options.baseAddress = host::ProcessLoopbackBase(4);
  options.count = 1;
  options.identityPrefix = "E2E-DISKFULL-";
  options.media.gop = 25;
  return options;
}

// Length of the header that opens an Annex B recording: the bytes before the
// first NAL unit that is neither a sequence nor a picture parameter set.
size_t LeadingHeaderLength(const std::vector<uint8_t>& bytes) {
  for (size_t i = 0; i + 3 < bytes.size(); ++i) {
    if (bytes[i] != 0 || bytes[i + 1] != 0 || bytes[i + 2] != 1) continue;
    const uint8_t type = bytes[i + 3] & 0x1F;
    if (type != 7 && type != 8) return i > 0 && bytes[i - 1] == 0 ? i - 1 : i;
  }
  return 0;
}

TEST(DiskFull, RecordingSurvivesAFullFileSystemAndCountsWhatItLost) {
  if (!gPrivateMounts) GTEST_SKIP() << "needs a private mount namespace: " << gWhyNoMounts;
  World& world = World::Get();
  test::TempDir dir;
  const std::string mountPoint = dir.File("small");
  std::filesystem::create_directory(mountPoint);
  ASSERT_EQ(mount("qrv-small", mountPoint.c_str(), "tmpfs", 0, "size=1m"), 0);
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{mountPoint};
  // Leave about 96 KiB free: the recording fills it within a few seconds.
  const std::string filler = mountPoint + "/filler";
  {
    std::ofstream out(filler, std::ios::binary);
    std::string block(4096, 'x');
    for (int i = 0; i < (1024 - 96) / 4; ++i) out.write(block.data(), block.size());
  }

  host::Reply login = world.requests().Login(world.fleet().credentials(0));
  ASSERT_EQ(login.code, 0);
  const int32_t slot = login.OutputInt("LOGINID");
  StreamTap tap;
  ASSERT_EQ(tap.Attach(world.access(), slot), 0);
  tap.Arm();
  ASSERT_EQ(world.requests().StartRecording(slot, mountPoint + "/rec").code, 0);
  ASSERT_EQ(world.requests().OpenStream(slot, world.fleet().credentials(0), 0).code, 0);
  // Well past what fits: the device's stream is about 35 KB/s.
  ASSERT_TRUE(tap.WaitUntil([](const TapCounts& c) { return c.recordedBytes > 200 * 1024; },
                            milliseconds(30000)));
  const uint64_t filled = tap.Read().recordedBytes;
  std::filesystem::remove(filler);
  // Two more groups of pictures after the room came back.
  ASSERT_TRUE(tap.WaitUntil(
      [&](const TapCounts& c) { return c.keyFrames >= 2 && c.recordedBytes > filled + 120 * 1024; },
      milliseconds(30000)));
  EXPECT_EQ(world.requests().CloseStream(slot).code, 0);
  EXPECT_EQ(world.requests().StopRecording(slot).code, 0);
  tap.Disarm();
  const TapCounts counts = tap.Read();

  const std::string path = mountPoint + "/rec.264";
  auto bytes = host::ReadFileBytes(path);
  ASSERT_TRUE(bytes);
  const host::AnnexBSummary scan = host::ScanAnnexB(*bytes);
  const host::ProbeResult probe = host::ProbeH264File(path);
  ASSERT_TRUE(probe.ran) << probe.error;
  EXPECT_EQ(scan.leadingGarbage, 0u);
  EXPECT_EQ(scan.firstVclType, 5) << "the first picture must be an IDR";
  EXPECT_TRUE(scan.parameterSetsFirst);
  EXPECT_EQ(probe.decodedFrames, static_cast<int64_t>(scan.pictures)) << "every picture decodes";
  EXPECT_LT(scan.pictures, counts.recordedFrames) << "the file system did fill up";

  // What the host saw from the first key frame on, less what the file holds,
  // is what the plug-in counted as lost; a resumed recording repeats its
  // header, which the file holds in addition.
  const size_t header = LeadingHeaderLength(*bytes);
  ASSERT_GT(header, 0u);
  const auto sps = std::count(scan.nalTypes.begin(), scan.nalTypes.end(), 7);
  ASSERT_GE(sps, 2) << "the recording resumed with its header";
  const uint64_t repeated = static_cast<uint64_t>(sps - 1) * header;
  host::Reply status =
      world.requests().Execute({{"Operation", "100"}, {"Handle", std::to_string(slot)}});
  if (status.code == kQrvResultFailed) {
    GTEST_SKIP() << "this plug-in has no device status operation to read the loss from";
  }
  ASSERT_EQ(status.code, 0);
  const uint64_t lost = std::stoull(status.output.at("BytesLost"));
  EXPECT_EQ(lost, counts.recordedBytes + repeated - bytes->size());
  EXPECT_GE(std::stoull(status.output.at("WriteErrors")), 1u);
  EXPECT_EQ(world.requests().Logout(slot).code, 0);
}

}  // namespace
}  // namespace qrv::e2e

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Before any thread starts: a namespace of our own, whose mounts no one
  // else sees and which ends with the program.
  using qrv::e2e::gPrivateMounts;
  using qrv::e2e::gWhyNoMounts;
  if (geteuid() != 0) {
    gWhyNoMounts = "not running as root";
  } else if (unshare(CLONE_NEWNS) != 0) {
    gWhyNoMounts = "unshare(CLONE_NEWNS) refused";
  } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    gWhyNoMounts = "could not make the mounts private";
  } else {
    gPrivateMounts = true;
  }
  ::testing::AddGlobalTestEnvironment(new qrv::e2e::World(qrv::e2e::FleetForThisProgram()));
  return RUN_ALL_TESTS();
}
