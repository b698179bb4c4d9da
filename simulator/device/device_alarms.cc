// Alarms a simulated device pushes to its alarm target, on command and on a
// schedule.
#include <future>

#include "simulator/device/alarm_push.h"
#include "simulator/device/device_impl.h"

namespace qrv::sim {

namespace {
constexpr std::chrono::milliseconds kAlarmTimeout{3000};
}  // namespace

void Device::Impl::PushAlarm(int32_t value, std::function<void(bool)> done) {
  // The ONVIF face hears every alarm, delivered to the alarm target or not.
  if (onvif_) onvif_->OnAlarm(value);
  tmcc::protocol::Alarm alarm;
  alarm.channel = 0;
  alarm.kind = 3;
  alarm.value = value;
  alarm.address = config_.address;
  AlarmPush::Start(strand_, config_.address, config_.alarmHost, config_.alarmPort, alarm,
                   ++alarmSequence_, kAlarmTimeout,
                   [this, self = shared_from_this(), value, done = std::move(done)](bool ok) {
                     Record([&](Observations& o) {
                       if (ok) {
                         ++o.alarmsPushed;
                         o.lastAlarmValue = value;
                       } else {
                         ++o.alarmsFailed;
                       }
                     });
                     if (done) done(ok);
                   });
}

void Device::Impl::ScheduleAlarm(uint64_t generation) {
  if (config_.alarmPeriodMs == 0) return;
  alarmTimer_.expires_after(std::chrono::milliseconds(config_.alarmPeriodMs));
  alarmTimer_.async_wait(asio::bind_executor(
      strand_, [this, self = shared_from_this(), generation](const asio::error_code& error) {
        if (error || stopped_ || generation != generation_) return;
        if (!stalled_) PushAlarm(static_cast<int32_t>(alarmSequence_ + 1), nullptr);
        ScheduleAlarm(generation);
      }));
}

bool Device::Impl::RaiseAlarm(int32_t value) {
  auto promise = std::make_shared<std::promise<bool>>();
  auto result = promise->get_future();
  asio::post(strand_, [this, self = shared_from_this(), value, promise] {
    if (stopped_) {
      promise->set_value(false);
      return;
    }
    PushAlarm(value, [promise](bool ok) { promise->set_value(ok); });
  });
  // The push has its own time-out; this bound only covers a simulator that
  // was stopped before the push could run.
  if (result.wait_for(kAlarmTimeout + std::chrono::seconds(2)) != std::future_status::ready)
    return false;
  try {
    return result.get();
  } catch (const std::future_error&) {
    return false;  // the push was dropped with the simulator
  }
}

}  // namespace qrv::sim
