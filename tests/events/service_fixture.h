// A started process-wide event service on a clean test double and slot table,
// stopped again after each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "device/device_table.h"
#include "device/slot_owner.h"
#include "events/event_service.h"
#include "platform/critical_section.h"
#include "tests/events/event_sink.h"
#include "tests/fake_tmcc/fake_tmcc.h"

namespace qrv::test {

// The service lasts the process, and so do the identities it has reported:
// each test starts with none, as the first test of a process does.
inline void ForgetDiscovered(events::EventService* service) {
  platform::ScopedLock lock(&service->lock);
  service->discoveredSet.clear();
}

class StartedServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterForwarders();
    events::StopEventService(&device::ReleaseClientsOfSlotsInUse);
    fake_tmcc::Reset();
    device::ResetAllSlots();
    Sink().Clear();
    service_ = events::CreateEventService();
    ForgetDiscovered(service_);
    events::StartEventService();
  }
  void TearDown() override {
    Sink().Clear();
    events::StopEventService(&device::ReleaseClientsOfSlotsInUse);
    fake_tmcc::Reset();
  }

  int32_t Listener() const { return service_->listenerHandle; }
  int32_t Discovery() const { return service_->discoveryHandle; }

  events::EventService* service_ = nullptr;
};

}  // namespace qrv::test
