// qrv-hostile-peer: the hostile peers as a program, for trying the library
// or the plug-in by hand. Loopback only; every mode is bounded.
//   qrv-hostile-peer flood  IP PORT MIB        alarm frames, acknowledgements never read
//   qrv-hostile-peer slow   IP PORT COUNT SEC  connections sending one byte per second (SEC up to
//   3600) qrv-hostile-peer idle   IP PORT COUNT SEC  connections sending nothing qrv-hostile-peer
//   forge  IP PORT FROM NAMED one alarm from FROM naming NAMED
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/hostile/hostile_peer.h"

using namespace qrv::hostile;

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s flood|slow|idle|forge IP PORT ...\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  const std::string ip = argv[2];
  if (ip.rfind("127.", 0) != 0) {
    std::fprintf(stderr, "loopback addresses only\n");
    return 2;
  }
  const auto port = static_cast<uint16_t>(std::atoi(argv[3]));
  if (mode == "flood" && argc == 5) {
    const uint64_t sent = FloodAlarms(ip, port, std::strtoull(argv[4], nullptr, 10) << 20);
    std::printf("sent %llu bytes\n", static_cast<unsigned long long>(sent));
    return 0;
  }
  // The run's length paces the peers; an hour at most keeps the mode bounded.
  if ((mode == "slow" || mode == "idle") && argc == 6 && std::atoi(argv[5]) > 0 &&
      std::atoi(argv[5]) <= 3600) {
    const auto seconds = std::chrono::seconds(std::atoi(argv[5]));
    Tricklers peers(ip, port, std::atoi(argv[4]), std::chrono::milliseconds(1000), mode == "idle",
                    seconds);
    std::this_thread::sleep_for(seconds);
    std::printf("open %d, cut %d, failed %d\n", peers.open(), peers.cut(), peers.failed());
    return 0;
  }
  if (mode == "forge" && argc == 6) {
    const bool acked = SendAlarm(ip, port, argv[4], {0, 3, 1, argv[5]});
    std::printf("%s\n", acked ? "acknowledged" : "refused");
    return acked ? 1 : 0;
  }
  std::fprintf(stderr, "bad arguments\n");
  return 2;
}
