// Alarm messages delivered on the test double's library thread.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/device_table.h"
#include "devicelib/tmcc_records.h"
#include "events/alarm.h"
#include "tests/events/event_sink.h"
#include "tests/events/service_fixture.h"
#include "tests/events/test_logins.h"
#include "tests/fake_tmcc/fake_tmcc.h"

namespace qrv::events {
namespace {

using devicelib::AlarmMessage;
using devicelib::AlarmRecord;
using test::AddLogin;
using test::Sink;

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer takes everything after a throw out of the fault handler for
// code still running inside a signal handler and reports every allocation.
constexpr bool kFaultsTranslatable = false;
#else
constexpr bool kFaultsTranslatable = true;
#endif

// A host bug: a processor fault inside the callback (left to the fault
// handler, not to the undefined-behaviour checker).
__attribute__((noinline, no_sanitize("undefined"))) void WriteToNowhere() {
  volatile int* nowhere = nullptr;
  *nowhere = 1;
}

AlarmRecord MakeRecord(uint16_t kind, int32_t value, const std::string& address) {
  AlarmRecord record;
  std::memset(&record, 0, sizeof(record));
  record.size = sizeof(record);
  record.kind = kind;
  record.value = value;
  std::memcpy(record.address, address.data(), std::min(address.size(), sizeof(record.address)));
  return record;
}

AlarmMessage MakeMessage(AlarmRecord* record, int32_t code = 271, int32_t type = 4) {
  AlarmMessage message;
  std::memset(&message, 0, sizeof(message));
  message.size = sizeof(message);
  message.code = code;
  message.type = type;
  message.recordLength = record != nullptr ? sizeof(AlarmRecord) : 0;
  message.record = record;
  return message;
}

class AlarmTest : public test::StartedServiceTest {
 protected:
  int32_t Fire(AlarmMessage* message) { return fake_tmcc::FireAlarmMessage(Listener(), message); }
  int32_t FireAlarm(uint16_t kind, int32_t value, const std::string& address) {
    AlarmRecord record = MakeRecord(kind, value, address);
    AlarmMessage message = MakeMessage(&record);
    return Fire(&message);
  }
};

TEST_F(AlarmTest, ReachesTheHostWithTheFirstSlotWhoseAddressMatchesExactly) {
  AddLogin("10.1.0.1", 8000, false);
  const int32_t first = AddLogin("10.1.0.2", 8000, false);
  AddLogin("10.1.0.2", 8000, false);
  const int32_t upper = AddLogin("Cam-A", 8000, false);

  EXPECT_EQ(FireAlarm(3, -7, "10.1.0.2"), 0);
  EXPECT_EQ(FireAlarm(3, 5, "Cam-A"), 0);
  // Near misses: trailing blank, prefix, longer text, other letter case.
  EXPECT_EQ(FireAlarm(3, 1, "10.1.0.2 "), 0);
  EXPECT_EQ(FireAlarm(3, 1, "10.1.0."), 0);
  EXPECT_EQ(FireAlarm(3, 1, "10.1.0.20"), 0);
  EXPECT_EQ(FireAlarm(3, 1, "cam-a"), 0);
  // Free slots have an empty address; an alarm without one names none of them.
  EXPECT_EQ(FireAlarm(3, 1, ""), 0);

  const auto alarms = Sink().alarms.Events();
  ASSERT_EQ(alarms.size(), 2u);
  EXPECT_EQ(alarms[0].kind, 3);
  EXPECT_EQ(alarms[0].slot, first);
  EXPECT_EQ(alarms[0].deviceType, 102209);
  EXPECT_EQ(alarms[0].value, -7);
  EXPECT_EQ(alarms[1].slot, upper);
  EXPECT_EQ(alarms[1].value, 5);
}

TEST_F(AlarmTest, AnAlarmAPullingLoginHeardIsThatLoginsWhateverItsAddressSays) {
  // Two cameras on one address and different ports, and one logged in by URL.
  const int32_t quiet = AddLogin("10.2.0.2", 8000, false);
  const int32_t busy = AddLogin("10.2.0.2", 8080, false);
  const int32_t byUrl = AddLogin("http://10.2.0.3:8080/onvif", 8080, false);
  const auto login = [](int32_t slot) { return device::Slot(slot).loginHandle.load(); };
  struct Case {
    const char* what;
    int32_t loginHandle;
    std::string address;
    int32_t slot;  // -1: not reported
  };
  const Case cases[] = {
      {"the busy camera's own", login(busy), "10.2.0.2", busy},
      {"the quiet camera's own", login(quiet), "10.2.0.2", quiet},
      {"a URL login's, by its plain address", login(byUrl), "10.2.0.3", byUrl},
      {"a login's, whatever address it names", login(busy), "10.9.9.9", busy},
      {"a login nobody has: not found by its address", 0x7fff0000, "10.2.0.2", -1},
      {"pushed (no login): the first slot of its address", 0, "10.2.0.2", quiet},
      {"pushed: a URL login's plain address is no match", 0, "10.2.0.3", -1},
  };
  int32_t value = 100;
  for (const Case& c : cases) {
    AlarmRecord record = MakeRecord(3, ++value, c.address);
    record.loginHandle = c.loginHandle;
    AlarmMessage message = MakeMessage(&record);
    EXPECT_EQ(Fire(&message), 0) << c.what;
    const auto alarms = Sink().alarms.Events();
    const bool reported = !alarms.empty() && alarms.back().value == value;
    EXPECT_EQ(reported, c.slot >= 0) << c.what;
    if (reported) {
      EXPECT_EQ(alarms.back().slot, c.slot) << c.what;
    }
  }
}

TEST_F(AlarmTest, OnlyAlarmInformationOfKindThreeIsReported) {
  AddLogin("10.1.0.3", 8000, false);
  AlarmRecord record = MakeRecord(3, 9, "10.1.0.3");

  EXPECT_EQ(Fire(nullptr), -1);
  for (int32_t type : {0, 3, 4, 5}) {
    AlarmMessage wrongCode = MakeMessage(&record, 270, type);
    EXPECT_EQ(Fire(&wrongCode), -2) << type;
  }
  AlarmMessage otherType = MakeMessage(&record, 271, 3);
  EXPECT_EQ(Fire(&otherType), 0);
  AlarmMessage noRecord = MakeMessage(nullptr);
  EXPECT_EQ(Fire(&noRecord), 0);
  for (uint16_t kind : {0, 1, 2, 4, 0xffff}) EXPECT_EQ(FireAlarm(kind, 9, "10.1.0.3"), 0);
  EXPECT_TRUE(Sink().alarms.Events().empty());

  EXPECT_EQ(FireAlarm(3, 9, "10.1.0.3"), 0);
  EXPECT_EQ(Sink().alarms.Events().size(), 1u);
}

// Records placed so that their last byte is the last readable byte before an
// inaccessible page: reading one byte past the record faults.
class GuardedRecord {
 public:
  explicit GuardedRecord(size_t length) {
    page_ = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    base_ = ::mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base_ == MAP_FAILED) throw std::runtime_error("mmap");
    ::mprotect(static_cast<char*>(base_) + page_, page_, PROT_NONE);
    bytes_ = static_cast<uint8_t*>(base_) + page_ - length;
  }
  ~GuardedRecord() { ::munmap(base_, 2 * page_); }
  uint8_t* bytes() { return bytes_; }
  AlarmRecord* record() { return reinterpret_cast<AlarmRecord*>(bytes_); }

 private:
  size_t page_ = 0;
  void* base_ = nullptr;
  uint8_t* bytes_ = nullptr;
};

TEST_F(AlarmTest, AddressWithoutNulIsReadOnlyWithinItsField) {
  const std::string longest(32, 'A');
  const int32_t slot = AddLogin(longest, 8000, false);

  GuardedRecord guarded(sizeof(AlarmRecord));
  std::memset(guarded.bytes(), 'A', sizeof(AlarmRecord));  // no NUL anywhere
  guarded.record()->kind = 3;
  guarded.record()->value = 77;
  guarded.record()->loginHandle = 0;  // pushed: found by its address
  AlarmMessage message = MakeMessage(guarded.record());

  EXPECT_EQ(Fire(&message), 0);
  const auto alarms = Sink().alarms.Events();
  ASSERT_EQ(alarms.size(), 1u);
  EXPECT_EQ(alarms[0].slot, slot);
  EXPECT_EQ(alarms[0].value, 77);
}

TEST_F(AlarmTest, RecordShorterThanAnAlarmRecordIsNotRead) {
  AddLogin("10.1.0.4", 8000, false);
  const size_t shortLength = 262;  // ends where the address text would begin
  GuardedRecord guarded(shortLength);
  std::memset(guarded.bytes(), 0, shortLength);
  guarded.record()->kind = 3;
  AlarmMessage message = MakeMessage(guarded.record());
  message.recordLength = shortLength;

  EXPECT_EQ(Fire(&message), 0);
  EXPECT_TRUE(Sink().alarms.Events().empty());
}

TEST_F(AlarmTest, NothingThrownOrFaultingInTheHostReachesTheLibraryThread) {
  AddLogin("10.1.0.5", 8000, false);
  Sink().alarms.Hook([](const test::AlarmEvent& event) {
    if (event.value == 1) throw std::runtime_error("host failure");
    if (event.value == 2) throw 42;
    if (event.value == 3) WriteToNowhere();
  });

  std::vector<int32_t> values = {1, 2, 4};
  if (kFaultsTranslatable) values.push_back(3);
  for (int32_t value : values) EXPECT_EQ(FireAlarm(3, value, "10.1.0.5"), 0) << value;
  EXPECT_EQ(Sink().alarms.Events().size(), values.size());
}

}  // namespace
}  // namespace qrv::events
