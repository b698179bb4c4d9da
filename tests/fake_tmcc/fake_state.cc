#include "tests/fake_tmcc/fake_state.h"

namespace fake_tmcc::internal {

std::optional<int32_t> State::TakeScript(const std::string& name) {
  auto queue = queued.find(name);
  if (queue != queued.end() && !queue->second.empty()) {
    int32_t result = queue->second.front();
    queue->second.pop_front();
    return result;
  }
  auto fixed = results.find(name);
  if (fixed != results.end()) return fixed->second;
  return std::nullopt;
}

Client* State::Live(int32_t handle) {
  auto found = clients.find(handle);
  if (found == clients.end() || found->second.released) return nullptr;
  return &found->second;
}

State& GetState() {
  static State* state = new State;
  return *state;
}

}  // namespace fake_tmcc::internal
