// Cost of the stream packet path per packet, called directly as the device
// library's thread would call it:
//   Deliver            hand-off to a host callback that does nothing
//   DeliverAndRecord   the same plus recording into a file on tmpfs
//   DeliverAndRecordBatched  the same with packets the library marks batched:
//                      the writes of one 256 KiB read go out together at the
//                      batch end
//   PlainFwrite        fwrite of the same frames to tmpfs, the floor for the above
//   GrowingHeaders     a device sending 255 header packets, each 16 KiB longer
//                      than the last: the memory the slot then holds (counters)
// Frames of 4 KiB and 64 KiB. Files are restarted every 64 MiB (untimed) so
// the benchmark never fills the tmpfs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "device/device_table.h"
#include "media/live_stream.h"
#include "media/record_batch.h"
#include "media/recording.h"
#include "media/stream_delivery.h"

namespace {

using namespace qrv;

constexpr int32_t kSlot = 0;
constexpr int32_t kHandle = 1;
constexpr size_t kRestartBytes = size_t{64} << 20;

std::string BenchFile(const char* name) {
  return "/dev/shm/qrv-packet-bench-" + std::to_string(getpid()) + "-" + name + ".264";
}

int32_t QRV_CALLBACK DoNothing(int32_t, const uint8_t*, uint32_t, StreamFrameInfo, uintptr_t) {
  return 0;
}

// A slot with an open stream, a do-nothing host callback and a cached header.
void PrepareSlot() {
  device::ResetAllSlots();
  device::Slot(kSlot).streamHandle.store(kHandle);
  media::RegisterStreamDataCallback(kSlot, &DoNothing, 0);
  std::vector<uint8_t> header(36, 0x67);
  devicelib::StreamPacket packet{};
  packet.frameType = devicelib::kFrameHeader;
  packet.data = header.data();
  packet.length = static_cast<int32_t>(header.size());
  media::StreamPacketCallback(kHandle, &packet, reinterpret_cast<void*>(intptr_t{kSlot}));
}

devicelib::StreamPacket FramePacket(std::vector<uint8_t>& frame, uint8_t key) {
  devicelib::StreamPacket packet{};
  packet.frameType = devicelib::kFrameVideo;
  packet.keyFrame = key;
  packet.data = frame.data();
  packet.length = static_cast<int32_t>(frame.size());
  return packet;
}

void Deliver(benchmark::State& state) {
  PrepareSlot();
  std::vector<uint8_t> frame(static_cast<size_t>(state.range(0)), 0x41);
  auto packet = FramePacket(frame, 0);
  void* context = reinterpret_cast<void*>(intptr_t{kSlot});
  for (auto _ : state) {
    benchmark::DoNotOptimize(media::StreamPacketCallback(kHandle, &packet, context));
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void RecordFrames(benchmark::State& state, bool batched) {
  PrepareSlot();
  const std::string path = BenchFile(batched ? "batched" : "record");
  std::vector<uint8_t> frame(static_cast<size_t>(state.range(0)), 0x41);
  auto key = FramePacket(frame, 1);
  auto packet = FramePacket(frame, 0);
  if (batched) packet.flags = devicelib::kPacketBatched;
  // The frames of one 256 KiB socket read, as the library batches them.
  const size_t perBatch = std::clamp<size_t>((size_t{256} << 10) / frame.size(), 1, 64);
  size_t inBatch = 0;
  void* context = reinterpret_cast<void*>(intptr_t{kSlot});
  auto restart = [&] {
    media::StopRecording(kSlot);
    media::StartRecording(path, kSlot);
    media::StreamPacketCallback(kHandle, &key, context);  // opens the file at a key frame
  };
  restart();
  size_t written = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(media::StreamPacketCallback(kHandle, &packet, context));
    if (batched && ++inBatch == perBatch) {
      media::FlushRecordWrites();  // the library's batch end
      inBatch = 0;
    }
    written += frame.size();
    if (written >= kRestartBytes) {
      state.PauseTiming();
      media::FlushRecordWrites();
      inBatch = 0;
      restart();
      written = 0;
      state.ResumeTiming();
    }
  }
  media::FlushRecordWrites();
  media::StopRecording(kSlot);
  std::remove(path.c_str());
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void DeliverAndRecord(benchmark::State& state) {
  RecordFrames(state, false);
}

void DeliverAndRecordBatched(benchmark::State& state) {
  RecordFrames(state, true);
}

void PlainFwrite(benchmark::State& state) {
  const std::string path = BenchFile("plain");
  std::vector<uint8_t> frame(static_cast<size_t>(state.range(0)), 0x41);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    state.SkipWithError("cannot open a file on /dev/shm");
    return;
  }
  size_t written = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::fwrite(frame.data(), 1, frame.size(), file));
    written += frame.size();
    if (written >= kRestartBytes) {
      state.PauseTiming();
      std::fclose(file);
      file = std::fopen(path.c_str(), "wb");
      written = 0;
      state.ResumeTiming();
    }
  }
  std::fclose(file);
  std::remove(path.c_str());
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Resident set size of this process in bytes.
double ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

void GrowingHeaders(benchmark::State& state) {
  constexpr uint32_t kStep = 16 * 1024;
  std::vector<uint8_t> longest(size_t{255} * kStep, 0x67);
  devicelib::StreamPacket packet{};
  packet.frameType = devicelib::kFrameHeader;
  packet.data = longest.data();
  void* context = reinterpret_cast<void*>(intptr_t{kSlot});
  double rssGrowth = 0, held = 0;
  for (auto _ : state) {
    state.PauseTiming();
    PrepareSlot();
    const double before = ResidentBytes();
    state.ResumeTiming();
    for (uint32_t n = 1; n <= 255; ++n) {
      packet.length = static_cast<int32_t>(n * kStep);
      media::StreamPacketCallback(kHandle, &packet, context);
    }
    state.PauseTiming();
    const auto& slot = device::Slot(kSlot);
    rssGrowth = std::max(rssGrowth, ResidentBytes() - before);
    held = std::max(held, static_cast<double>(slot.header1.HeldBytes() + slot.header2.HeldBytes() +
                                              slot.recordHeader.HeldBytes()));
    state.counters["refused"] = static_cast<double>(slot.stats.headersRefused.load());
    state.ResumeTiming();
  }
  state.counters["held_MiB"] = held / (1 << 20);
  state.counters["rss_growth_MiB"] = rssGrowth / (1 << 20);
  state.counters["sent_MiB"] = 255.0 * 256 / 2 * kStep / (1 << 20);
}

BENCHMARK(Deliver)->Arg(4096)->Arg(65536);
BENCHMARK(DeliverAndRecord)->Arg(4096)->Arg(20480)->Arg(65536);
BENCHMARK(DeliverAndRecordBatched)->Arg(4096)->Arg(20480)->Arg(65536);
BENCHMARK(PlainFwrite)->Arg(4096)->Arg(20480)->Arg(65536);
BENCHMARK(GrowingHeaders)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
