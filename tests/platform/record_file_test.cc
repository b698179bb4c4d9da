// The recording file: positioned appends, the cut back to the last whole
// frame, the cut on close, and the reason a full volume gives.
#include "platform/record_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace qrv::platform {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pattern(uint8_t seed, size_t length) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

Bytes Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Joined(std::initializer_list<const Bytes*> parts) {
  Bytes all;
  for (const Bytes* part : parts) all.insert(all.end(), part->begin(), part->end());
  return all;
}

TEST(RecordFileTest, CutBackDropsWhatFollowsTheLastCommitAndTheNextAppendTakesItsPlace) {
  test::TempDir dir;
  const std::string path = dir.File("rec.264");
  const Bytes a = Pattern(1, 300), b = Pattern(2, 5000), c = Pattern(3, 70), d = Pattern(4, 9);
  {
    auto file = RecordFile::Open(path);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->Append(a.data(), static_cast<uint32_t>(a.size())), nullptr);
    file->Commit();
    EXPECT_EQ(file->Committed(), a.size());
    ASSERT_EQ(file->Append(b.data(), static_cast<uint32_t>(b.size())), nullptr);
    EXPECT_EQ(Contents(path), Joined({&a, &b}));
    EXPECT_TRUE(file->CutBack());
    EXPECT_EQ(Contents(path), a);
    ASSERT_EQ(file->Append(c.data(), static_cast<uint32_t>(c.size())), nullptr);
    file->Commit();
    // Not committed: closing cuts it off.
    ASSERT_EQ(file->Append(d.data(), static_cast<uint32_t>(d.size())), nullptr);
  }
  EXPECT_EQ(Contents(path), Joined({&a, &c}));
}

TEST(RecordFileTest, OpenTruncatesAnOldFileAndRefusesAPathInAMissingFolder) {
  test::TempDir dir;
  const std::string path = dir.File("old.264");
  std::ofstream(path, std::ios::binary) << "old content";
  const Bytes a = Pattern(5, 12);
  {
    auto file = RecordFile::Open(path);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->Append(a.data(), static_cast<uint32_t>(a.size())), nullptr);
    file->Commit();
  }
  EXPECT_EQ(Contents(path), a);
  EXPECT_EQ(RecordFile::Open(dir.File("missing/rec.264")), nullptr);
}

// A device that is always full (Wine maps the drive Z: to the Linux root).
#if defined(_WIN32)
constexpr char kFullDevice[] = "Z:\\dev\\full";
#else
constexpr char kFullDevice[] = "/dev/full";
#endif

TEST(RecordFileTest, AFullVolumeIsReportedAsNoSpaceAndTheContentLengthStays) {
  auto file = RecordFile::Open(kFullDevice);
  ASSERT_NE(file, nullptr);
  const Bytes a = Pattern(6, 4096);
  EXPECT_STREQ(file->Append(a.data(), static_cast<uint32_t>(a.size())),
               "recording: no space left on the device");
  file->Commit();
  EXPECT_EQ(file->Committed(), 0u);
}

}  // namespace
}  // namespace qrv::platform
