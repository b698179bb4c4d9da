// Writes a small seed corpus for the frame-decoder fuzz target: one file per
// message kind, built by the protocol's own builders.
#include <cstdio>
#include <string>
#include <vector>

#include "tmcc/protocol/builders.h"

namespace pr = qrv::tmcc::protocol;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
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
  for (auto& [name, bytes] : seeds) {
    std::string path = std::string(argv[1]) + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 1;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  return 0;
}
