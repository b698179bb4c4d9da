#include "platform/debug_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/debug_capture.h"
#include "tests/support/temp_dir.h"

namespace {

// Bytes of a message in an 8-bit code page (not UTF-8), with a number.
const char kCodePageText[] = "\xD4\xA4\xC0\xC0\xBE\xE4\xB1\xFA 17\n";

TEST(DebugOutput, CaptureGetsTheBytesUnchanged) {
  qrv::test::DebugCapture capture;
  qrv::platform::OutputDebugText(kCodePageText);
  qrv::platform::OutputDebugText("");
  qrv::platform::OutputDebugText(nullptr);
  EXPECT_EQ(capture.Text(), kCodePageText);
}

TEST(DebugOutput, GoesToStandardErrorUnchangedWithoutACapture) {
  qrv::test::TempDir dir;
  const std::string path = dir.File("stderr.bin");
  std::fflush(stderr);
  const int saved = dup(2);
  ASSERT_GE(saved, 0);
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  dup2(file, 2);
  close(file);
  qrv::platform::OutputDebugText(kCodePageText);
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  EXPECT_EQ(bytes.str(), kCodePageText);
}

}  // namespace
