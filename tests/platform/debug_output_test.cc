#include "platform/debug_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
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
// A message that has no line feed of its own.
const char kUnendedText[] = "\xB4\xF2\xBF\xAA\xCE\xC4\xBC\xFE\xB4\xED\xCE\xF3";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Sets QRV_DEBUG_OUTPUT for one test and removes it afterwards.
class DebugDestination {
 public:
  explicit DebugDestination(const char* value) {
    if (value == nullptr) {
      unsetenv(qrv::platform::kDebugOutputVariable);
    } else {
      setenv(qrv::platform::kDebugOutputVariable, value, 1);
    }
  }
  ~DebugDestination() { unsetenv(qrv::platform::kDebugOutputVariable); }
};

// What the body writes to standard error (file descriptor 2).
template <typename Body>
std::string StandardErrorOf(const qrv::test::TempDir& dir, Body body) {
  const std::string path = dir.File("stderr.bin");
  std::fflush(stderr);
  const int saved = dup(2);
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (saved < 0 || file < 0) return "<cannot redirect standard error>";
  dup2(file, 2);
  close(file);
  body();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  return ReadFile(path);
}

TEST(DebugOutput, CaptureGetsTheBytesUnchanged) {
  qrv::test::DebugCapture capture;
  qrv::platform::OutputDebugText(kCodePageText);
  qrv::platform::OutputDebugText("");
  qrv::platform::OutputDebugText(nullptr);
  EXPECT_EQ(capture.Text(), kCodePageText);
}

TEST(DebugOutput, NothingReachesStandardErrorUnlessAsked) {
  qrv::test::TempDir dir;
  for (const char* value : {static_cast<const char*>(nullptr), "", "off"}) {
    DebugDestination destination(value);
    EXPECT_EQ(StandardErrorOf(dir, [] { qrv::platform::OutputDebugText(kCodePageText); }), "")
        << (value ? value : "(unset)");
  }
}

TEST(DebugOutput, StandardErrorGetsExactBytesEachEndingInALineFeed) {
  qrv::test::TempDir dir;
  DebugDestination destination("stderr");
  const std::string written = StandardErrorOf(dir, [] {
    qrv::platform::OutputDebugText(kCodePageText);
    qrv::platform::OutputDebugText(kUnendedText);
    qrv::platform::OutputDebugText("");
  });
  // Joined with append: g++ 12 warns falsely about operator+ on temporaries.
  EXPECT_EQ(written, std::string(kCodePageText).append(kUnendedText).append("\n"));
}

TEST(DebugOutput, FileCollectsMessagesInOrderAndNothingGoesToStandardError) {
  qrv::test::TempDir dir;
  const std::string path = dir.File("debug.txt");
  {
    std::ofstream earlier(path, std::ios::binary);
    earlier << "earlier\n";
  }
  DebugDestination destination(path.c_str());
  const std::string onStderr = StandardErrorOf(dir, [] {
    qrv::platform::OutputDebugText(kUnendedText);
    qrv::platform::OutputDebugText(kCodePageText);
  });
  EXPECT_EQ(onStderr, "");
  EXPECT_EQ(ReadFile(path),
            std::string("earlier\n").append(kUnendedText).append("\n").append(kCodePageText));
}

TEST(DebugOutput, AnUnwritableFileIsReportedOnStandardError) {
  qrv::test::TempDir dir;
  const std::string path = dir.File("missing-folder/debug.txt");
  DebugDestination destination(path.c_str());
  const std::string onStderr =
      StandardErrorOf(dir, [] { qrv::platform::OutputDebugText(kCodePageText); });
  EXPECT_NE(onStderr.find("QRV_DEBUG_OUTPUT: cannot write to " + path), std::string::npos)
      << onStderr;
}

}  // namespace
