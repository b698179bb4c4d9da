// The command-line host qrv-host run as a person or a script would, against
// simulated devices: exit statuses, JSON results and what the devices saw.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "host/kit/media_probe.h"
#include "host/sim/fleet.h"
#include "support/temp_dir.h"

namespace qrv::e2e {
namespace {

struct ToolRun {
  int status = -1;
  std::string out;  // standard output only
};

// Runs qrv-host with the arguments (simple words, no quoting needed);
// standard error is dropped, or kept in out after standard output.
ToolRun Tool(const std::string& arguments, bool keepStandardError = false) {
  ToolRun run;
  // QRV_E2E_PLUGIN tests another build of the plug-in, as the other programs do.
  const char* plugin = std::getenv("QRV_E2E_PLUGIN");
  std::string pluginOption =
      plugin != nullptr && *plugin != 0 ? std::string(" --plugin ") + plugin : "";
  std::string command = std::string(QRV_HOST_TOOL) + pluginOption + " " + arguments +
                        (keepStandardError ? " 2>&1" : " 2>/dev/null");
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

class HostTool : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    host::FleetOptions options;
    options.baseAddress = host::ProcessLoopbackBase(5);
    options.count = 2;
    options.identityPrefix = "E2E-TOOL-";
    std::string error;
    fleet_ = host::Fleet::Start(options, &error).release();
    ASSERT_NE(fleet_, nullptr) << error;
  }
  static void TearDownTestSuite() {
    delete fleet_;
    fleet_ = nullptr;
  }
  static std::string Device(size_t i) { return "--ip " + fleet_->address(i); }
  static host::Fleet* fleet_;
};

host::Fleet* HostTool::fleet_ = nullptr;

TEST_F(HostTool, LoginReportsTheSlotOrTheRefusalInWordsWithAFailingStatus) {
  ToolRun ok = Tool("--json login " + Device(0));
  EXPECT_EQ(ok.status, 0);
  EXPECT_NE(ok.out.find("\"ok\":true"), std::string::npos) << ok.out;
  EXPECT_NE(ok.out.find("\"slot\":0"), std::string::npos) << ok.out;
  EXPECT_EQ(fleet_->device(0).Observe().logins, 1u);

  ToolRun refused = Tool("--json login " + Device(0) + " --password wrong");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find("\"result\":-104"), std::string::npos) << refused.out;
  EXPECT_NE(refused.out.find("password refused"), std::string::npos) << refused.out;

  ToolRun human = Tool("login " + Device(0));
  EXPECT_EQ(human.status, 0);
  EXPECT_NE(human.out.find("accepted: slot 0"), std::string::npos) << human.out;

  EXPECT_EQ(Tool("login").status, 106) << "a missing --ip is a usage error";  // CLI11 RequiredError
}

TEST_F(HostTool, SnapshotPtzAndAudioReachTheDevice) {
  test::TempDir dir;
  ToolRun shot = Tool("--json snapshot " + Device(1) + " --file " + dir.File("tool.jpg"));
  EXPECT_EQ(shot.status, 0) << shot.out;
  EXPECT_NE(shot.out.find("\"width\":640"), std::string::npos) << shot.out;
  std::string error;
  EXPECT_TRUE(host::DecodeJpegFile(dir.File("tool.jpg"), &error)) << error;

  double before = fleet_->device(1).Observe().ptz.pan;
  ToolRun ptz = Tool("ptz right " + Device(1) + " --speed 9 --seconds 0.3");
  EXPECT_EQ(ptz.status, 0) << ptz.out;
  sim::Observations seen = fleet_->device(1).Observe();
  EXPECT_GT(seen.ptz.pan, before);
  EXPECT_EQ(seen.lastPtzCode, 24);
  EXPECT_EQ(seen.lastPtzParam1, 1) << "the movement was stopped";
  EXPECT_EQ(Tool("ptz sideways " + Device(1)).status, 1);
  ToolRun goTo = Tool("--json ptz preset-goto --preset 200 " + Device(1));
  EXPECT_EQ(goTo.status, 1) << "a preset never stored is refused by the device";

  EXPECT_EQ(Tool("audio on " + Device(1)).status, 0);
  EXPECT_FALSE(fleet_->device(1).Observe().muted);
  EXPECT_EQ(Tool("audio off " + Device(1)).status, 0);
  EXPECT_TRUE(fleet_->device(1).Observe().muted);
  EXPECT_NE(Tool("audio loud " + Device(1)).status, 0);
}

TEST_F(HostTool, RecordWritesAFileThatDecodesToTheFramesItReports) {
  test::TempDir dir;
  ToolRun record =
      Tool("--json record " + Device(0) + " --seconds 2 --probe --file " + dir.File("tool.264"));
  EXPECT_EQ(record.status, 0) << record.out;
  host::ProbeResult probe = host::ProbeH264File(dir.File("tool.264"));
  ASSERT_TRUE(probe.ran) << probe.error;
  EXPECT_GT(probe.decodedFrames, 0);
  // The tool counts while the stream runs, so a frame in flight at the start
  // or the stop may fall on either side: the count is exact to one frame.
  auto at = record.out.find("\"framesRecorded\":");
  ASSERT_NE(at, std::string::npos) << record.out;
  long long reported = std::atoll(record.out.c_str() + at + 17);
  EXPECT_NEAR(reported, probe.decodedFrames, 1) << record.out;
  EXPECT_NE(record.out.find("\"probeFrames\":" + std::to_string(probe.decodedFrames)),
            std::string::npos)
      << record.out;
}

// The plug-in's stream-open message (GBK) shows only under --verbose, and
// then as UTF-8; without it nothing of it reaches the terminal.
TEST_F(HostTool, VerboseShowsThePluginsDebuggerMessagesInUtf8) {
  test::TempDir dir;
  const std::string record = "record " + Device(1) + " --seconds 0.3 --file " + dir.File("v");
  const std::string gbk = "\xD4\xA4\xC0\xC0\xBE\xE4\xB1\xFA";
  const std::string utf8 = "\u9884\u89c8\u53e5\u67c4";
  ToolRun verbose = Tool("--verbose " + record, true);
  EXPECT_EQ(verbose.status, 0) << verbose.out;
  EXPECT_NE(verbose.out.find("qrv-host: plug-in: " + utf8 + " "), std::string::npos) << verbose.out;
  EXPECT_EQ(verbose.out.find(gbk), std::string::npos) << verbose.out;
  ToolRun quiet = Tool(record, true);
  EXPECT_EQ(quiet.status, 0) << quiet.out;
  EXPECT_EQ(quiet.out.find(gbk), std::string::npos) << quiet.out;
  EXPECT_EQ(quiet.out.find(utf8), std::string::npos) << quiet.out;
}

}  // namespace
}  // namespace qrv::e2e
