#include "simulator/media/aux_data.h"

#include <cmath>

#include "simulator/media/annexb.h"

namespace qrv::sim {

std::vector<uint8_t> BuildAudioAuxPacket(uint64_t frameNumber, int fps) {
  constexpr int kRate = 8000;
  const int samples = kRate / (fps > 0 ? fps : 25);
  std::vector<uint8_t> data;
  data.reserve(8 + static_cast<size_t>(samples) * 2);
  for (int i = 0; i < 8; ++i) data.push_back(static_cast<uint8_t>(frameNumber >> (8 * i)));
  const uint64_t first = frameNumber * static_cast<uint64_t>(samples);
  for (int i = 0; i < samples; ++i) {
    const double t = static_cast<double>((first + i) % kRate) / kRate;
    const auto s = static_cast<int16_t>(8000.0 * std::sin(2.0 * M_PI * 440.0 * t));
    data.push_back(static_cast<uint8_t>(s & 0xFF));
    data.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
  }
  return BuildUserDataSei(data);
}

}  // namespace qrv::sim
