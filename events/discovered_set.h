// The identities discovery has already reported to the host since the last
// refresh. Answers come from the network, so the set is capped: when it is
// full, the identity not seen for longest makes room (it is reported again
// if it answers again). Not thread-safe: the event service's lock guards it.
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qrv::events {

class DiscoveredSet {
 public:
  static constexpr size_t kMaxIdentities = 4096;

  explicit DiscoveredSet(size_t capacity = kMaxIdentities);

  // True when identity was reported already; it then counts as just seen.
  bool Touch(std::string_view identity);
  // Remembers a reported identity (one already present is only touched).
  void Insert(std::string identity);
  size_t count(std::string_view identity) const { return index_.count(identity); }
  size_t size() const { return index_.size(); }
  bool empty() const { return index_.empty(); }
  void clear();

 private:
  size_t capacity_;
  std::list<std::string> order_;  // most recently seen first
  std::unordered_map<std::string_view, std::list<std::string>::iterator> index_;
};

}  // namespace qrv::events
