#include "events/discovered_set.h"

#include <algorithm>

namespace qrv::events {

DiscoveredSet::DiscoveredSet(size_t capacity) : capacity_(std::max<size_t>(capacity, 1)) {}

bool DiscoveredSet::Touch(std::string_view identity) {
  auto it = index_.find(identity);
  if (it == index_.end()) return false;
  order_.splice(order_.begin(), order_, it->second);
  return true;
}

void DiscoveredSet::Insert(std::string identity) {
  if (Touch(identity)) return;
  if (index_.size() >= capacity_) {
    index_.erase(order_.back());
    order_.pop_back();
  }
  order_.push_front(std::move(identity));
  index_.emplace(order_.front(), order_.begin());
}

void DiscoveredSet::clear() {
  index_.clear();
  order_.clear();
}

}  // namespace qrv::events
