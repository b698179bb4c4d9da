#include "events/alarm.h"

#include <cstddef>
#include <cstring>
#include <string>

#include "device/device_table.h"
#include "devicelib/tmcc_api.h"
#include "devicelib/tmcc_extensions.h"
#include "events/host_callbacks.h"
#include "fault/kt_exception.h"
#include "platform/library_symbol.h"

namespace qrv::events {

namespace {

constexpr int32_t kAlarmEventKind = 3;

// The address text of a record: up to its NUL, never past its 32-byte field
// (a field without a NUL gives all 32 bytes).
std::string AlarmAddress(const devicelib::AlarmRecord& record) {
  const void* nul = std::memchr(record.address, '\0', sizeof(record.address));
  const size_t length =
      nul != nullptr ? static_cast<const char*>(nul) - record.address : sizeof(record.address);
  return std::string(record.address, length);
}

// Whether the library says in every alarm message how many record bytes it
// handed over. Looked up on the first message; any thread.
bool RecordLengthGiven() {
  static const bool given = [] {
    // Any required function locates the device library the plug-in is bound to.
    const void* anchor = reinterpret_cast<const void*>(&TMCC_Init);
    const auto function = reinterpret_cast<devicelib::AlarmRecordLengthGivenFunction>(
        platform::FindFunctionBeside(anchor, devicelib::kAlarmRecordLengthGivenName));
    return function != nullptr && function() != 0;
  }();
  return given;
}

// Whether the library names in every alarm record the login that pulled it.
// Looked up on the first message; any thread.
bool RecordLoginGiven() {
  static const bool given = [] {
    const void* anchor = reinterpret_cast<const void*>(&TMCC_Init);
    const auto function = reinterpret_cast<devicelib::AlarmRecordLoginGivenFunction>(
        platform::FindFunctionBeside(anchor, devicelib::kAlarmRecordLoginGivenName));
    return function != nullptr && function() != 0;
  }();
  return given;
}

// The slot an alarm belongs to. One a login pulled (a standard camera's
// event) is that login's: its address says nothing of the port, nor is it
// the text a login given as a URL was stored under. One a device pushed is
// found by its address, which the listener took from the connection itself.
int32_t SlotOf(const devicelib::AlarmRecord& record) {
  const int32_t login = RecordLoginGiven() ? record.loginHandle : 0;
  if (login != 0) return device::FindSlotByLogin(login);
  // Free slots have an empty address: an alarm without one names no device.
  const std::string address = AlarmAddress(record);
  if (address.empty()) return device::kNoSlot;
  return device::FindSlotByIp(address);
}

void ReportAlarm(const devicelib::AlarmRecord* record) {
  if (record == nullptr) throw int32_t{-1};
  if (record->kind != devicelib::kAlarmKindAlarm) return;
  // Without a callback there is nobody to tell; the table is not searched.
  if (CurrentAlarmCallback() == nullptr) return;
  const int32_t value = record->value;
  const int32_t slot = SlotOf(*record);
  if (!device::IsValidSlot(slot)) return;
  // The table lock is released again by the lookup: the host is called
  // outside any lock.
  AlarmCallback callback = CurrentAlarmCallback();
  if (callback != nullptr) callback(kAlarmEventKind, slot, kQrvDeviceTypeCode, value);
}

}  // namespace

// Library listener thread. Installs the fault translator on it (kept after
// return). Takes the device-table lock only inside the slot lookup; calls the
// host with no lock held. Lets no exception out.
int32_t HandleAlarmRecord(const devicelib::AlarmRecord* record) {
  try {
    fault::InstallFaultTranslator();
    ReportAlarm(record);
  } catch (int32_t) {
  } catch (CKTBException&) {
  } catch (...) {
    // Anything else (out of memory, a host callback that throws) must not
    // reach the library's thread either.
  }
  return 0;
}

// Library listener thread. No lock of its own. Where the library gives the
// record's length, a record shorter than an alarm record would be read past
// its end, so it is dropped; a library that gives none hands over a whole
// record, and what its message holds at that offset is no length.
int32_t QRV_CALLBACK AlarmMessageCallback(int32_t /*handle*/, devicelib::AlarmMessage* message,
                                          void* /*context*/) {
  try {
    if (message == nullptr) return -1;
    if (message->code != devicelib::kAlarmMessageCode) return -2;
    if (message->type != devicelib::kAlarmMessageTypeAlarm) return 0;
    if (RecordLengthGiven() && message->recordLength < sizeof(devicelib::AlarmRecord)) return 0;
    HandleAlarmRecord(message->record);
  } catch (...) {
    // A fault reading the message itself, once the translator is installed on
    // this thread, ends here.
  }
  return 0;
}

}  // namespace qrv::events
