// Writes a small seed corpus for a fuzz target: one file per message kind,
// built by the protocol's own builders.
//   make_fuzz_corpus DIRECTORY [frame_decoder|framed_connection|alarm_record]
#include <cstdio>
#include <string>
#include <vector>

#include "tmcc/protocol/builders.h"

namespace pr = qrv::tmcc::protocol;

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: %s DIRECTORY [TARGET]\n", argv[0]);
    return 2;
  }
  const std::string target = argc == 3 ? argv[2] : "frame_decoder";
  std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds;
  auto add = [&](const std::string& name, auto build) {
    std::vector<uint8_t> out;
    build(out);
    seeds.emplace_back(name, out);
  };
  std::vector<uint8_t> nal = {0, 0, 0, 1, 0x65, 0x88, 0x84};
  add("hello", [](auto& o) { pr::BuildServerHello(o, 0, {}); });
  add("login", [](auto& o) { pr::BuildLogin(o, 1, {pr::Purpose::kStream, 1, {}, {}, "admin"}); });
  add("result", [](auto& o) { pr::BuildLoginResult(o, 1, {}); });
  add("ping", [](auto& o) { pr::BuildPing(o, 5); });
  add("request", [](auto& o) { pr::BuildRequest(o, 2, {pr::RequestCode::kPtz, 21, 0, 40, ""}); });
  add("answer", [&](auto& o) { pr::BuildAnswer(o, 2, {pr::AnswerStatus::kOk, 2, 2, nal}); });
  add("stream", [&](auto& o) {
    pr::BuildStreamData(o, 0, {pr::kStreamHeader, 0, 0, 64, 64, 1, 2, nal});
    pr::BuildStreamData(o, 0, {pr::kStreamVideo, 1, 0, 64, 64, 2, 42, nal});
  });
  add("alarm", [](auto& o) { pr::BuildAlarm(o, 3, {0, 3, -1, "127.0.0.10"}); });
  add("probe", [](auto& o) { pr::BuildProbe(o, 4, {4}); });
  add("answer_probe", [](auto& o) {
    pr::BuildProbeAnswer(
        o, 4,
        {4, 6001, 6002, {1, 2, 3, 4, 5, 6}, "M", "SN1", "127.0.0.10", "255.0.0.0", "127.0.0.1"});
  });
  if (target == "framed_connection") {
    // Two leading bytes choose read sizes and the receiver's bound; then
    // every message kind back to back, as one connection would carry them.
    std::vector<uint8_t> all;
    for (auto& [name, bytes] : seeds) all.insert(all.end(), bytes.begin(), bytes.end());
    seeds.emplace_back("all", all);
    for (auto& [name, bytes] : seeds) bytes.insert(bytes.begin(), {7, 0});
    seeds.emplace_back("all_small_reads_bound", all);
    seeds.back().second.insert(seeds.back().second.begin(), {1, 1});
  } else if (target == "alarm_record") {
    // Peer address length, the peer address, then an alarm payload.
    seeds.clear();
    auto alarm = [&](const std::string& name, const std::string& peer, const std::string& named) {
      std::vector<uint8_t> frame;
      pr::BuildAlarm(frame, 1, {2, 3, -1, named});
      std::vector<uint8_t> seed = {static_cast<uint8_t>(peer.size())};
      seed.insert(seed.end(), peer.begin(), peer.end());
      seed.insert(seed.end(), frame.begin() + 16, frame.end());
      seeds.emplace_back(name, seed);
    };
    alarm("no_address", "127.0.0.10", "");
    alarm("own_address", "127.0.0.10", "127.0.0.10");
    alarm("forged", "127.0.0.10", "127.0.0.11");
  } else if (target != "frame_decoder") {
    std::fprintf(stderr, "unknown target %s\n", target.c_str());
    return 2;
  }
  for (auto& [name, bytes] : seeds) {
    std::string path = std::string(argv[1]) + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 1;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  return 0;
}
