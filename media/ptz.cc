#include "media/ptz.h"

#include <iterator>

#include "devicelib/tmcc_api.h"
#include "platform/foreign_call.h"

namespace qrv::media {

namespace {

// How a host command becomes a library call.
enum class PtzForm {
  kSpeed,      // code, zero flag, scaled speed
  kValue,      // code, value, value
  kAuxSwitch,  // 122 (value 0) or 123, raw speed, 0
  kNoCallOk,   // no call, result 0
  kNoCall,     // no call, result -1
};

struct PtzRow {
  PtzForm form;
  int32_t code;
};

// Indexed by host command - 1 (commands 1..25).
constexpr PtzRow kPtzTable[25] = {
    {PtzForm::kSpeed, 21},     // 1
    {PtzForm::kSpeed, 22},     // 2
    {PtzForm::kSpeed, 23},     // 3
    {PtzForm::kSpeed, 24},     // 4
    {PtzForm::kSpeed, 27},     // 5
    {PtzForm::kSpeed, 28},     // 6
    {PtzForm::kSpeed, 25},     // 7
    {PtzForm::kSpeed, 26},     // 8
    {PtzForm::kValue, 100},    // 9
    {PtzForm::kValue, 101},    // 10
    {PtzForm::kValue, 102},    // 11
    {PtzForm::kSpeed, 11},     // 12
    {PtzForm::kSpeed, 12},     // 13
    {PtzForm::kSpeed, 13},     // 14
    {PtzForm::kSpeed, 14},     // 15
    {PtzForm::kSpeed, 15},     // 16
    {PtzForm::kSpeed, 16},     // 17
    {PtzForm::kNoCall, 0},     // 18
    {PtzForm::kNoCallOk, 0},   // 19
    {PtzForm::kNoCall, 0},     // 20
    {PtzForm::kAuxSwitch, 0},  // 21
    {PtzForm::kNoCall, 0},     // 22
    {PtzForm::kNoCall, 0},     // 23
    {PtzForm::kNoCall, 0},     // 24
    {PtzForm::kSpeed, 3},      // 25
};

constexpr int32_t kAuxSwitchOffCode = 122;
constexpr int32_t kAuxSwitchOnCode = 123;
constexpr int32_t kMaxSpeedStep = 8;
constexpr int32_t kSpeedScale = 10;

// 32-bit wrap-around arithmetic, as the device protocol expects for any input.
int32_t Wrap(int64_t value) {
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

}  // namespace

// Host thread; no lock, no state.
int32_t SendPtzCommand(int32_t loginHandle, int32_t ptzCommand, int32_t inValue, int32_t speed) {
  const int32_t zeroFlag = inValue == 0 ? 1 : 0;
  const int32_t rawSpeed = Wrap(static_cast<int64_t>(speed) - 1);
  const int32_t scaledSpeed =
      Wrap(static_cast<int64_t>(rawSpeed > kMaxSpeedStep ? kMaxSpeedStep : rawSpeed) * kSpeedScale);

  const uint32_t index = static_cast<uint32_t>(ptzCommand) - 1u;
  if (index >= std::size(kPtzTable)) return -1;
  const PtzRow& row = kPtzTable[index];
  switch (row.form) {
    case PtzForm::kSpeed:
      return platform::CallForeign(&TMCC_PtzControl, loginHandle, row.code, zeroFlag, scaledSpeed);
    case PtzForm::kValue:
      return platform::CallForeign(&TMCC_PtzControl, loginHandle, row.code, inValue, inValue);
    case PtzForm::kAuxSwitch:
      return platform::CallForeign(&TMCC_PtzControl, loginHandle,
                                   inValue == 0 ? kAuxSwitchOffCode : kAuxSwitchOnCode, rawSpeed,
                                   0);
    case PtzForm::kNoCallOk:
      return 0;
    case PtzForm::kNoCall:
      return -1;
  }
  return -1;
}

bool PtzCommandUsesSpeed(int32_t ptzCommand) {
  const uint32_t index = static_cast<uint32_t>(ptzCommand) - 1u;
  if (index >= std::size(kPtzTable)) return false;
  const PtzForm form = kPtzTable[index].form;
  return form == PtzForm::kSpeed || form == PtzForm::kAuxSwitch;
}

bool PtzCommandUsesValue(int32_t ptzCommand) {
  const uint32_t index = static_cast<uint32_t>(ptzCommand) - 1u;
  if (index >= std::size(kPtzTable)) return false;
  const PtzForm form = kPtzTable[index].form;
  return form == PtzForm::kSpeed || form == PtzForm::kValue || form == PtzForm::kAuxSwitch;
}

}  // namespace qrv::media
