#include "plugin/dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "device/device_table.h"
#include "fault/kt_exception.h"
#include "media/device_requests.h"
#include "media/record_batch.h"
#include "media/stream_delivery.h"
#include "platform/critical_section.h"
#include "tests/device/test_helpers.h"
#include "tests/media/media_test_support.h"
#include "tests/support/rendezvous.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace qrv::plugin {
namespace {

using device::Slot;
using fake_tmcc::CallNames;
using fake_tmcc::CallsNamed;
using test::Exec;
using Names = std::vector<std::string>;

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override { test::ClearDevices(); }
  void TearDown() override {
    media::DisableBatchedRecording();
    test::ClearDevices();
  }

  static ParameterMap OpenRequest(const std::string& slot) {
    return {{"Operation", "3"}, {"LOGINID", slot},  {"PlayWnd", "4660"},   {"DeviceIP", "10.0.0.7"},
            {"User", "admin"},  {"Password", "pw"}, {"StreamType", "257"}, {"Channel", "2"}};
  }
};

TEST_F(DispatcherTest, CodesOutsideTheTableAreRefused) {
  for (const char* code : {"0", "5", "19", "43", "-3", "", "x", "99999999999"}) {
    ParameterMap in{{"Operation", code}};
    ParameterMap out{{"Keep", "1"}};
    EXPECT_EQ(Execute(in, out), -1) << code;
    EXPECT_EQ(in.size(), 1u);
    EXPECT_EQ(out, (ParameterMap{{"Keep", "1"}}));
  }
  ParameterMap in;
  ParameterMap out;
  EXPECT_EQ(Execute(in, out), -1);
  EXPECT_EQ(in, (ParameterMap{{"Operation", ""}}));
  EXPECT_TRUE(fake_tmcc::Calls().empty());
}

TEST_F(DispatcherTest, OperationCodeIsReadAsAStreamWould) {
  Slot(0).loginHandle = TMCC_Init(0);
  EXPECT_EQ(Exec({{"Operation", " 18"}, {"Handle", "0"}}), 0);
  EXPECT_EQ(Exec({{"Operation", "18abc"}, {"Handle", "0"}}), 0);
  EXPECT_EQ(CallsNamed("TMCC_MakeKeyFrame").size(), 2u);
}

TEST_F(DispatcherTest, OpenLiveStreamStoresTheStreamAndReportsTheSlot) {
  ParameterMap in = OpenRequest("7");
  ParameterMap out{{"Handle", "old"}, {"Other", "x"}};
  ASSERT_EQ(Execute(in, out), 0);
  EXPECT_EQ(out, (ParameterMap{{"Handle", "7"}, {"Other", "x"}}));
  const auto connect = CallsNamed("TMCC_ConnectStream")[0];
  EXPECT_EQ(connect.args[2], 4660);
  EXPECT_EQ(connect.record[137], 1);  // low 8 bits of 257
  EXPECT_EQ(CallsNamed("TMCC_RegisterStreamCallBack")[0].args[2], 7);
  device::DeviceSlot& slot = Slot(7);
  EXPECT_EQ(slot.streamHandle.load(), connect.args[0]);
  EXPECT_EQ(slot.channel.load(), 2);
  EXPECT_EQ(slot.streamType.load(), 257);
  EXPECT_EQ(slot.playWnd.load(), 4660u);
}

TEST_F(DispatcherTest, FailedOpenReportsMinusOneAndKeepsTheStreamFields) {
  fake_tmcc::SetResult("TMCC_ConnectStream", -105);
  ParameterMap in = OpenRequest("7");
  in["PlayWnd"] = "-1";
  ParameterMap out;
  EXPECT_EQ(Execute(in, out), -1);
  EXPECT_EQ(out, (ParameterMap{{"Handle", "-1"}}));
  EXPECT_EQ(Slot(7).streamHandle.load(), device::kNoHandle);
  EXPECT_EQ(Slot(7).streamType.load(), 0);
  EXPECT_EQ(Slot(7).playWnd.load(), 4294967295u);
}

// A refused open is a failed open: the host finds -1 under "Handle", not the
// slot an earlier open of its map reported.
TEST_F(DispatcherTest, OpenWithInvalidNumbersStopsReadingAndDoesNoWork) {
  // Out of range: only the keys up to the slot number are read.
  ParameterMap in{{"Operation", "3"}, {"LOGINID", "256"}};
  ParameterMap out;
  EXPECT_EQ(Execute(in, out), 10);
  EXPECT_EQ(in, (ParameterMap{{"Operation", "3"}, {"Channel", ""}, {"LOGINID", "256"}}));
  EXPECT_TRUE(out.empty());

  auto refused = [](ParameterMap request) {
    ParameterMap reported{{"Handle", "7"}, {"Other", "x"}};
    EXPECT_EQ(Execute(request, reported), -1);
    EXPECT_EQ(reported, (ParameterMap{{"Handle", "-1"}, {"Other", "x"}}));
    return request;
  };
  EXPECT_EQ(
      refused({{"Operation", "3"}, {"LOGINID", "7"}, {"PlayWnd", "window"}}).count("DeviceIP"), 0u);
  in = OpenRequest("7");
  in["StreamType"] = "";
  refused(in);
  in = OpenRequest("7");
  in["Channel"] = "main";
  refused(in);

  EXPECT_TRUE(fake_tmcc::Calls().empty());
  EXPECT_EQ(Slot(7).playWnd.load(), 0u);
}

TEST_F(DispatcherTest, CloseLiveStreamAlwaysSucceedsAndReleasesTheClientOnce) {
  ParameterMap in = OpenRequest("4");
  ParameterMap out;
  ASSERT_EQ(Execute(in, out), 0);
  const int32_t stream = Slot(4).streamHandle.load();
  fake_tmcc::ClearCalls();
  in = {{"Operation", "4"}, {"Handle", "4"}};
  EXPECT_EQ(Execute(in, out), 0);
  EXPECT_EQ(in.count("LOGINID"), 1u);
  EXPECT_EQ(Exec({{"Operation", "4"}, {"Handle", "4"}}), 0);
  EXPECT_EQ(CallNames(), (Names{"TMCC_CloseStream", "TMCC_Done"}));
  EXPECT_EQ(fake_tmcc::ReleasedHandles(), (std::vector<int32_t>{stream}));

  fake_tmcc::ClearCalls();
  for (const char* handle : {"300", "-1", "", "4x"}) {
    EXPECT_EQ(Exec({{"Operation", "4"}, {"Handle", handle}, {"LOGINID", "junk"}}), 0);
  }
  EXPECT_TRUE(fake_tmcc::Calls().empty());
}

TEST_F(DispatcherTest, KeyFrameAndSnapshotUseTheLoginClient) {
  const int32_t login = TMCC_Init(0);
  Slot(2).loginHandle = login;
  Slot(2).streamHandle = TMCC_Init(5);
  fake_tmcc::ClearCalls();
  EXPECT_EQ(Exec({{"Operation", "18"}, {"Handle", "2"}}), 0);
  fake_tmcc::SetResult("TMCC_MakeKeyFrame", 5);
  EXPECT_EQ(Exec({{"Operation", "18"}, {"Handle", "2"}}), -1);
  EXPECT_EQ(Exec({{"Operation", "20"}, {"Handle", "2"}, {"FileName", "/tmp/shot.jpg"}}), 0);
  // A snapshot the library did not write is reported.
  fake_tmcc::SetResult("TMCC_CapturePictureToFile", -110);
  EXPECT_EQ(Exec({{"Operation", "20"}, {"Handle", "2"}, {"FileName", "/tmp/shot.jpg"}}), -1);

  const auto calls = fake_tmcc::Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].args, (std::vector<int64_t>{login}));
  EXPECT_EQ(calls[2].args[0], login);
  EXPECT_EQ(calls[2].text, "/tmp/shot.jpg|JPEG");

  fake_tmcc::ClearCalls();
  ParameterMap in{{"Operation", "20"}, {"Handle", "256"}};
  ParameterMap out;
  EXPECT_EQ(Execute(in, out), 10);
  EXPECT_EQ(in.count("FileName"), 0u);
  EXPECT_EQ(Exec({{"Operation", "18"}, {"Handle", "-1"}}), 10);
  EXPECT_TRUE(fake_tmcc::Calls().empty());
}

// A device without an operation (the library says kErrUnsupported) fails it,
// whatever other refusals do, and the status names the operation.
TEST_F(DispatcherTest, OperationsTheDeviceDoesNotOfferFailAndNameThemselvesInTheStatus) {
  ASSERT_EQ(test::LoginThroughExecute("10.0.0.9"), 0);
  ParameterMap status{{"Operation", "100"}, {"Handle", "0"}};
  auto lastError = [&] {
    ParameterMap out;
    EXPECT_EQ(Execute(status, out), 0);
    return out["LastError"];
  };
  constexpr int32_t kUnsupported = -113;
  struct Case {
    const char* function;
    ParameterMap request;
    int32_t expected;  // the plug-in's own -1, or the library's result passed through
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"TMCC_MakeKeyFrame", {{"Operation", "18"}, {"Handle", "0"}}, -1, "key frame"},
      {"TMCC_CapturePictureToFile",
       {{"Operation", "20"}, {"Handle", "0"}, {"FileName", "/tmp/shot.jpg"}},
       -1,
       "snapshot"},
      {"TMCC_SetMute", {{"Operation", "23"}, {"Handle", "0"}}, -1, "audio"},
      {"TMCC_PtzControl",
       {{"Operation", "29"},
        {"LOGINID", "0"},
        {"Channel", "1"},
        {"PTZCommand", "1"},
        {"INValue", "1"},
        {"Speed", "1"}},
       kUnsupported,
       "PTZ"},
      {"TMCC_StartVoiceCom", {{"Operation", "35"}, {"LOGINID", "0"}}, kUnsupported, "voice talk"},
      // Stopping ignores other refusals (nothing left to stop), not this one.
      {"TMCC_StopVoiceCom", {{"Operation", "36"}, {"Handle", "0"}}, -1, "voice talk"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    // Another refusal is a plain failure that names nothing.
    Slot(0).stats.lastError.store(nullptr);
    fake_tmcc::SetResult(c.function, -108);
    ParameterMap request = c.request;
    ParameterMap out;
    Execute(request, out);
    EXPECT_EQ(lastError(), "");

    fake_tmcc::SetResult(c.function, kUnsupported);
    request = c.request;
    EXPECT_EQ(Execute(request, out), c.expected);
    EXPECT_EQ(lastError(), std::string(c.reason) + ": the device does not offer this operation");
    fake_tmcc::SetResult(c.function, 0);
  }
}

TEST_F(DispatcherTest, StartRecordingAppendsTheSuffixInTheHostsMap) {
  test::TempDir dir;
  ParameterMap in{{"Operation", "21"}, {"Handle", "1"}, {"FileName", dir.File("cam1")}};
  ParameterMap out;
  EXPECT_EQ(Execute(in, out), 0);
  EXPECT_EQ(in["FileName"], dir.File("cam1.264"));
  EXPECT_TRUE(std::filesystem::exists(dir.File("cam1.264")));
  EXPECT_EQ(Slot(1).recording.load(), 1);

  // A running recording continues; the name is still extended.
  in = {{"Operation", "21"}, {"Handle", "1"}, {"FileName", dir.File("x.264")}};
  EXPECT_EQ(Execute(in, out), 0);
  EXPECT_EQ(in["FileName"], dir.File("x.264.264"));
  EXPECT_FALSE(std::filesystem::exists(dir.File("x.264.264")));

  EXPECT_EQ(Exec({{"Operation", "22"}, {"Handle", "1"}}), 0);
  EXPECT_EQ(Slot(1).recording.load(), 0);
  EXPECT_EQ(Exec({{"Operation", "22"}, {"Handle", "1"}}), 0);
  EXPECT_EQ(Exec({{"Operation", "22"}, {"Handle", "256"}}), 10);

  in = {{"Operation", "21"}, {"Handle", "-1"}};
  EXPECT_EQ(Execute(in, out), 10);
  EXPECT_EQ(in.count("FileName"), 0u);
  EXPECT_TRUE(out.empty());
}

TEST_F(DispatcherTest, AcceptedCodesReadTheirKeyAndSucceed) {
  for (const char* code : {"33", "34"}) {
    ParameterMap in{{"Operation", code}};
    ParameterMap out;
    EXPECT_EQ(Execute(in, out), 0);
    EXPECT_EQ(in, (ParameterMap{{"LOGINID", ""}, {"Operation", code}}));
    EXPECT_TRUE(out.empty());
  }
}

TEST_F(DispatcherTest, ProcessorFaultsInsideAnOperationBecomeMinusOne) {
  Slot(0).loginHandle = TMCC_Init(0);
  fake_tmcc::SetAction("TMCC_MakeKeyFrame", test::NullWrite);
  EXPECT_EQ(Exec({{"Operation", "18"}, {"Handle", "0"}}), -1);
  fake_tmcc::SetAction("TMCC_PtzControl", test::DivideByZero);
  EXPECT_EQ(Exec({{"Operation", "29"},
                  {"LOGINID", "0"},
                  {"PTZCommand", "1"},
                  {"INValue", "1"},
                  {"Speed", "1"}}),
            -1);
  // Voice talk faults before it echoes the slot: nothing is written.
  fake_tmcc::SetAction("TMCC_StartVoiceCom", test::NullWrite);
  ParameterMap in{{"Operation", "35"}, {"LOGINID", "0"}};
  ParameterMap out;
  EXPECT_EQ(Execute(in, out), -1);
  EXPECT_TRUE(out.empty());

  fake_tmcc::SetAction("TMCC_MakeKeyFrame", nullptr);
  EXPECT_EQ(Exec({{"Operation", "18"}, {"Handle", "0"}}), 0);
}

TEST_F(DispatcherTest, FaultWhileTheTableLockIsHeldReleasesIt) {
  const int32_t result = fault::RunGuarded(
      [] {
        platform::ScopedLock lock(&device::TableLock());
        test::NullWrite();
        return 0;
      },
      -1);
  EXPECT_EQ(result, -1);
  bool taken = false;
  std::thread other([&taken] {
    taken = device::TableLock().TryEnter();
    if (taken) device::TableLock().Leave();
  });
  other.join();
  EXPECT_TRUE(taken);
  EXPECT_EQ(device::AllocateSlot(), 0);
}

TEST_F(DispatcherTest, FaultFromTheDeviceLibraryCarriesItsCodeAndMessage) {
  fake_tmcc::SetAction("TMCC_MakeKeyFrame", test::DivideByZero);
  fault::InstallFaultTranslator();
  try {
    media::RequestKeyFrame(0);
    ADD_FAILURE() << "no fault";
  } catch (CKTBException& fault) {
    EXPECT_EQ(fault.GetErrorCode(), static_cast<int32_t>(0xC0000094u));
    EXPECT_EQ(fault.exceptionRecord.code, 0xC0000094u);
    char message[64];
    EXPECT_EQ(fault.GetErrorMessage(message, sizeof(message)), 1);
    EXPECT_STREQ(message, "EXCEPTION_INT_DIVIDE_BY_ZERO");
  }
}

TEST_F(DispatcherTest, RefusedReopenKeepsTheWorkingStream) {
  ASSERT_EQ(Exec(OpenRequest("7")), 0);
  const int32_t working = Slot(7).streamHandle.load();
  fake_tmcc::ClearCalls();
  fake_tmcc::QueueResult("TMCC_ConnectStream", -105);
  ParameterMap in = OpenRequest("7");
  in["StreamType"] = "1";
  in["Channel"] = "5";
  ParameterMap out;
  EXPECT_EQ(Execute(in, out), -1);
  EXPECT_EQ(out, (ParameterMap{{"Handle", "-1"}}));
  // The working client was neither closed nor released; the refused one was.
  const int32_t refused = CallsNamed("TMCC_ConnectStream")[0].args[0];
  EXPECT_EQ(fake_tmcc::ReleasedHandles(), std::vector<int32_t>{refused});
  EXPECT_TRUE(CallsNamed("TMCC_CloseStream").empty());
  EXPECT_EQ(Slot(7).streamHandle.load(), working);
  EXPECT_EQ(Slot(7).pendingStreamHandle.load(), device::kNoHandle);
  EXPECT_EQ(Slot(7).channel.load(), 2);
  EXPECT_EQ(Slot(7).streamType.load(), 257);
  // Its packets still reach the host.
  std::vector<uint8_t> bytes(8, 1);
  devicelib::StreamPacket packet{};
  packet.size = sizeof(packet);
  packet.frameType = devicelib::kFrameVideo;
  packet.data = bytes.data();
  packet.length = 8;
  EXPECT_EQ(fake_tmcc::FireStreamPacket(working, &packet), 0);
  EXPECT_EQ(Slot(7).stats.packetsReceived.load(), 1u);
}

#if !defined(_WIN32)
size_t OpenDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}
#endif

TEST_F(DispatcherTest, RacingStopAndLogoutNeverLeaveTheFileOpen) {
  test::TempDir dir;
  const std::string name = dir.File("race");
  constexpr int kCycles = 10000;
#if !defined(_WIN32)
  const size_t before = OpenDescriptors();
#endif
  std::atomic<int32_t> slot{-1};
  std::atomic<int> failures{0};
  test::Rendezvous start(3);
  test::Rendezvous done(3);
  auto worker = [&](bool logout) {
    for (int i = 0; i < kCycles; ++i) {
      start.ArriveAndWait();
      const std::string number = std::to_string(slot.load());
      const int32_t result = logout ? Exec({{"Operation", "2"}, {"LOGINID", number}})
                                    : Exec({{"Operation", "22"}, {"Handle", number}});
      if (result != 0) failures.fetch_add(1);
      done.ArriveAndWait();
    }
  };
  std::thread stopper(worker, false);
  std::thread loggerOut(worker, true);
  for (int i = 0; i < kCycles; ++i) {
    const int32_t login = test::LoginThroughExecute("127.0.0.1");
    ASSERT_GE(login, 0);
    ASSERT_EQ(Exec({{"Operation", "21"}, {"Handle", std::to_string(login)}, {"FileName", name}}),
              0);
    ASSERT_EQ(Slot(login).recording.load(), 1);
    slot = login;
    if (i % 512 == 0) fake_tmcc::ClearCalls();  // the double keeps every call
    start.ArriveAndWait();
    done.ArriveAndWait();
    ASSERT_EQ(Slot(login).recordFile.load(), nullptr);
  }
  stopper.join();
  loggerOut.join();
  EXPECT_EQ(failures.load(), 0);
#if defined(_WIN32)
  // A recording handle lets others only read: a writer gets in only when none
  // is left open (each cycle's start above depends on that as well).
  EXPECT_TRUE(std::ofstream(name, std::ios::app).is_open());
#else
  EXPECT_EQ(OpenDescriptors(), before);
#endif
}

// A host whose data callback takes the host's own lock, while another host
// thread holds that lock and stops the recording.
std::mutex gHostLock;
std::atomic<bool> gInCallback{false};
int32_t QRV_CALLBACK LockingCallback(int32_t, const uint8_t*, uint32_t, StreamFrameInfo,
                                     uintptr_t) {
  gInCallback = true;
  std::lock_guard<std::mutex> lock(gHostLock);
  return 0;
}

TEST_F(DispatcherTest, StopDoesNotWaitForTheHostsDataCallback) {
  test::TempDir dir;
  ASSERT_EQ(Exec(OpenRequest("7")), 0);
  const int32_t stream = Slot(7).streamHandle.load();
  ASSERT_EQ(media::RegisterStreamDataCallback(7, &LockingCallback, 0), 0);
  ASSERT_EQ(Exec({{"Operation", "21"}, {"Handle", "7"}, {"FileName", dir.File("held")}}), 0);

  std::vector<uint8_t> bytes(16, 3);
  devicelib::StreamPacket packet{};
  packet.size = sizeof(packet);
  packet.frameType = devicelib::kFrameVideo;
  packet.keyFrame = 1;
  packet.data = bytes.data();
  packet.length = 16;
  gInCallback = false;
  std::unique_lock<std::mutex> host(gHostLock);
  std::thread library([&] { fake_tmcc::FireStreamPacket(stream, &packet); });
  ASSERT_TRUE(test::WaitUntil([] { return gInCallback.load(); }, std::chrono::seconds(10)));
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    EXPECT_EQ(Exec({{"Operation", "22"}, {"Handle", "7"}}), 0);
    stopped = true;
  });
  EXPECT_TRUE(test::WaitUntil([&] { return stopped.load(); }, std::chrono::seconds(10)))
      << "the stop waited for the host's callback, which waits for the host's lock";
  host.unlock();
  stopper.join();
  library.join();
  EXPECT_EQ(Slot(7).recordFile.load(), nullptr);
}

// Stops slot 7's recording from inside the host's callback of the third video frame.
std::atomic<int> gVideoFrames{0};
int32_t QRV_CALLBACK StopAtThirdFrame(int32_t type, const uint8_t*, uint32_t, StreamFrameInfo,
                                      uintptr_t) {
  if (type == kStreamDataVideo && ++gVideoFrames == 3) Exec({{"Operation", "22"}, {"Handle", "7"}});
  return 0;
}

// Frames held for the library's batch end are in the file when the host stops
// from inside its callback: every frame it saw before that one.
TEST_F(DispatcherTest, StopInsideTheCallbackKeepsTheBatchedFramesTheHostHasSeen) {
  test::TempDir dir;
  media::EnableBatchedRecording();
  ASSERT_EQ(Exec(OpenRequest("7")), 0);
  const int32_t stream = Slot(7).streamHandle.load();
  const test::Bytes header = test::Pattern(0x10, 20), key = test::Pattern(0x30, 64),
                    p1 = test::Pattern(0x50, 40), p2 = test::Pattern(0x70, 40);
  auto fire = [&](uint8_t type, const test::Bytes& bytes, uint8_t keyFlag) {
    auto packet = test::MakePacket(type, const_cast<test::Bytes&>(bytes), keyFlag);
    packet.flags = devicelib::kPacketBatched;
    fake_tmcc::FireStreamPacket(stream, &packet);
  };
  fire(devicelib::kFrameHeader, header, 0);
  gVideoFrames = 0;
  ASSERT_EQ(media::RegisterStreamDataCallback(7, &StopAtThirdFrame, 0), 0);
  const std::string base = dir.File("seen");
  ASSERT_EQ(Exec({{"Operation", "21"}, {"Handle", "7"}, {"FileName", base}}), 0);
  fire(devicelib::kFrameVideo, key, 1);
  fire(devicelib::kFrameVideo, p1, 0);  // held for the batch end
  fire(devicelib::kFrameVideo, p2, 0);  // its callback stops the recording
  ASSERT_TRUE(fake_tmcc::FireBatchEnd());
  test::Bytes want = header;
  for (const test::Bytes* part : {&key, &p1}) test::Append(want, *part);
  EXPECT_EQ(test::ReadFile(base + ".264"), want);
}

TEST_F(DispatcherTest, RecordingThatCannotStartIsRefusedAndNamesAreChecked) {
  test::TempDir dir;
  std::filesystem::create_directory(dir.File("folder.264"));
  const std::string tooLong = dir.File(std::string(300, 'a'));
  for (const std::string& name : {dir.File("folder"), dir.File("missing/cam"), tooLong}) {
    ParameterMap in{{"Operation", "21"}, {"Handle", "1"}, {"FileName", name}};
    ParameterMap out;
    EXPECT_EQ(Execute(in, out), -1) << name;
    EXPECT_EQ(in["FileName"], name + ".264");
    EXPECT_EQ(Slot(1).recording.load(), 0);
    EXPECT_EQ(Slot(1).recordFile.load(), nullptr);
  }
  ParameterMap status{{"Operation", "100"}, {"Handle", "1"}};
  ParameterMap said;
  ASSERT_EQ(Execute(status, said), 0);
  EXPECT_EQ(said["LastError"], "recording file could not be opened");

  // No hidden ".264" in the working folder, and no file cut short at a NUL;
  // the host's map keeps what it gave.
  const std::string withNul("nul\0tail", 8);
  for (const std::string& name : {std::string(), dir.File(withNul)}) {
    ParameterMap in{{"Operation", "21"}, {"Handle", "1"}, {"FileName", name}};
    ParameterMap out;
    EXPECT_EQ(Execute(in, out), -1);
    EXPECT_EQ(in["FileName"], name);
    EXPECT_EQ(Slot(1).recording.load(), 0);
  }
  EXPECT_FALSE(std::filesystem::exists(".264"));
  EXPECT_FALSE(std::filesystem::exists(dir.File("nul")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("nul.264")));

  // A good name still records after the refusals.
  EXPECT_EQ(Exec({{"Operation", "21"}, {"Handle", "1"}, {"FileName", dir.File("ok")}}), 0);
  EXPECT_EQ(Slot(1).recording.load(), 1);
  EXPECT_EQ(Exec({{"Operation", "22"}, {"Handle", "1"}}), 0);
}

TEST_F(DispatcherTest, TextsHoldingANulAreRefusedBeforeAnyLibraryCall) {
  Slot(2).loginHandle = TMCC_Init(0);
  fake_tmcc::ClearCalls();
  for (const char* key : {"DeviceIP", "User", "Password"}) {
    ParameterMap in = OpenRequest("2");
    in[key] += std::string("\0zz", 3);
    ParameterMap out;
    EXPECT_EQ(Execute(in, out), -1) << key;
    EXPECT_EQ(out, (ParameterMap{{"Handle", "-1"}})) << key;
    EXPECT_EQ(Slot(2).streamHandle.load(), device::kNoHandle);
  }
  EXPECT_EQ(Exec({{"Operation", "20"}, {"Handle", "2"}, {"FileName", std::string("a\0.jpg", 6)}}),
            -1);
  EXPECT_TRUE(fake_tmcc::Calls().empty());
}

TEST_F(DispatcherTest, DeviceStatusReportsTheSlotsCountersAndConnectionHistory) {
  test::TempDir dir;
  const int32_t slot = test::LoginThroughExecute("10.0.0.9");
  ASSERT_EQ(slot, 0);
  ParameterMap open = OpenRequest("0");
  ParameterMap opened;
  ASSERT_EQ(Execute(open, opened), 0);
  const int32_t stream = Slot(0).streamHandle.load();

  test::Bytes header = test::Pattern(1, 30);
  test::Bytes key = test::Pattern(2, 500);
  test::Bytes delta = test::Pattern(3, 120);
  test::Bytes audio = test::Pattern(4, 40);
  auto fire = [&](uint8_t type, test::Bytes& bytes, uint8_t keyFlag = 0) {
    auto packet = test::MakePacket(type, bytes, keyFlag);
    fake_tmcc::FireStreamPacket(stream, &packet);
  };
  fire(devicelib::kFrameHeader, header);
  fire(devicelib::kFrameVideo, delta);
  ASSERT_EQ(Exec({{"Operation", "21"}, {"Handle", "0"}, {"FileName", dir.File("cam")}}), 0);
  fire(devicelib::kFrameVideo, key, 1);
  fire(devicelib::kFrameAuxData, audio);
  fire(devicelib::kFrameVideo, delta);

  ParameterMap in{{"Operation", "100"}, {"Handle", "0"}};
  ParameterMap out;
  ASSERT_EQ(Execute(in, out), 0);
  EXPECT_EQ(out, (ParameterMap{{"BytesLost", "0"},
                               {"BytesReceived", std::to_string(30 + 120 + 500 + 40 + 120)},
                               {"DeviceIP", "10.0.0.9"},
                               {"InUse", "1"},
                               {"KeyFrames", "1"},
                               {"LastError", ""},
                               {"LastOutageMs", "0"},
                               {"Online", "0"},
                               {"PacketsReceived", "5"},
                               {"Reconnects", "0"},
                               {"RecordedBytes", std::to_string(30 + 500 + 40 + 120)},
                               {"RecordedFrames", "2"},
                               {"RecordedKeyFrames", "1"},
                               {"Recording", "1"},
                               {"StreamOpen", "1"},
                               {"WriteErrors", "0"}}));

  // The recorded bytes are the file's, and stay readable after the stop.
  ASSERT_EQ(Exec({{"Operation", "22"}, {"Handle", "0"}}), 0);
  ASSERT_EQ(Execute(in, out), 0);
  EXPECT_EQ(out["Recording"], "0");
  EXPECT_EQ(out["RecordedBytes"], std::to_string(std::filesystem::file_size(dir.File("cam.264"))));
  EXPECT_EQ(out["RecordedFrames"], "2");
  EXPECT_EQ(out["RecordedKeyFrames"], "1");

  // An outage the library repaired by itself is counted.
  fake_tmcc::SimulateOutage(Slot(0).loginHandle.load(), 1800);
  ASSERT_EQ(Execute(in, out), 0);
  EXPECT_EQ(out["Reconnects"], "1");
  EXPECT_EQ(out["LastOutageMs"], "1800");

  // A free slot: nothing in use, and no history to tell.
  ParameterMap freeSlot{{"Operation", "100"}, {"Handle", "255"}};
  ParameterMap freeOut;
  ASSERT_EQ(Execute(freeSlot, freeOut), 0);
  EXPECT_EQ(freeOut["InUse"], "0");
  EXPECT_EQ(freeOut["StreamOpen"], "0");
  EXPECT_EQ(freeOut["Reconnects"], "");
  EXPECT_EQ(freeOut["PacketsReceived"], "0");

#if !defined(_WIN32)
  // Bytes lost to a full volume belong to that session: the next login on
  // the same slot starts with every counter at zero.
  {
    test::FileSizeLimit full(header.size() + 10);  // the header fits, its key frame does not
    ASSERT_EQ(Exec({{"Operation", "21"}, {"Handle", "0"}, {"FileName", dir.File("full")}}), 0);
    fire(devicelib::kFrameVideo, key, 1);
  }
  ASSERT_EQ(Execute(in, out), 0);
  ASSERT_EQ(out["WriteErrors"], "1");
  ASSERT_EQ(out["BytesLost"], std::to_string(key.size()));
  EXPECT_EQ(out["RecordedFrames"], "0") << "a new recording counts its own frames, none written";
  EXPECT_EQ(out["RecordedKeyFrames"], "0");
  ASSERT_EQ(Exec({{"Operation", "22"}, {"Handle", "0"}}), 0);
  ASSERT_EQ(Exec({{"Operation", "2"}, {"LOGINID", "0"}}), 0);
  ASSERT_EQ(test::LoginThroughExecute("10.0.0.9"), 0) << "the same slot again";
  ASSERT_EQ(Execute(in, out), 0);
  for (const char* counter :
       {"BytesLost", "WriteErrors", "RecordedBytes", "RecordedFrames", "RecordedKeyFrames",
        "PacketsReceived", "BytesReceived", "KeyFrames", "Reconnects", "LastOutageMs"}) {
    EXPECT_EQ(out[counter], "0") << counter;
  }
  EXPECT_EQ(out["LastError"], "");
  EXPECT_EQ(out["Recording"], "0");
  EXPECT_EQ(out["StreamOpen"], "0");
#endif

  for (const char* bad : {"256", "-1", ""}) {
    ParameterMap badIn{{"Operation", "100"}, {"Handle", bad}};
    ParameterMap badOut;
    EXPECT_EQ(Execute(badIn, badOut), 10) << bad;
    EXPECT_TRUE(badOut.empty());
  }
}

}  // namespace
}  // namespace qrv::plugin
