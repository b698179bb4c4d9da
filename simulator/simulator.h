// Simulated network video devices for tests, the demo and benchmarks.
//
// A Simulator runs any number of devices in one process on a small shared pool
// of network threads. Each device listens on its own loopback address
// (127.0.0.x) for login connections (control port) and stream connections
// (stream port, 6002 by default), sends real H.264 (Annex B) and JPEG media of
// a synthetic moving picture, pushes alarms to a host, answers discovery
// probes, serves the same video over RTSP when given an RTSP port
// (simulator/rtsp/rtsp_face.h), and keeps what it saw so tests can assert on
// it. Faults can be
// injected at any time.
//
// Thread safety: every public function may be called from any thread at any
// time, including while the devices are serving connections. Nothing here
// calls back into the caller, so no caller ever runs on the simulator's
// network threads. Observe, WaitFor, Ptz and the fault switches take only the
// device's observation lock (never held while calling out); Snapshot,
// DropAllConnections, Restart, the Inject functions and RaiseAlarm hand their
// work to the device's network strand and wait for it without holding a lock.
// Replay-mode devices show the loop as encoded: their PTZ position changes
// snapshots but not the replayed video.
//
// Pan-tilt-zoom codes the devices understand (p1 and p2 are the two request
// parameters):
//   21..28  move up, down, left, right, up-left, up-right, down-left,
//           down-right; p1 = 1 stops, p1 = 0 starts at speed p2 (1..80;
//           smaller values move at the slowest speed)
//   11, 12  zoom in, zoom out; p1 = 1 stops, p1 = 0 starts at speed p2
//   13..16  focus near/far, iris open/close: accepted, no visible effect
//   3       auxiliary switch (p1 = 1 off, 0 on): accepted, no visible effect
//   100     store the current position as preset p1 (1..255)
//   101     clear preset p1
//   102     go to preset p1 (refused when the preset is not stored)
//   122     stop the automatic pan scan
//   123     start the automatic pan scan at speed p1
// Every other code, and a preset number outside 1..255, is refused with a
// non-zero result and leaves the position unchanged.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qrv::sim {

// What the encoder produces; a restart may change it.
struct MediaSettings {
  int width = 640;   // even, 16..4096
  int height = 360;  // even, 16..4096
  int fps = 25;      // 1..120
  int gop = 50;      // frames from one IDR to the next, 1..1000
  // Average bitrate in kbit/s, held by rate control with a one-second VBV
  // buffer; 0 encodes at a constant quality instead (the size then depends
  // on the scene: about 0.75 Mbit/s at 1920x1080).
  int bitrateKbps = 0;  // 0 or 16..200000
};

struct DeviceConfig {
  std::string address = "127.0.0.10";  // the device's own loopback address
  uint16_t controlPort = 6001;
  uint16_t streamPort = 6002;
  std::string user = "admin";
  std::string password = "admin";
  std::string identity;  // serial text reported by discovery; empty = derived from the address
  std::array<uint8_t, 6> mac{};  // all zero = derived from the address
  std::string model = "QRV-SIM";
  std::string mask = "255.0.0.0";
  std::string gateway = "127.0.0.1";
  MediaSettings media;
  // Replay mode: a GOP-aligned loop encoded once per media settings, shared by
  // every device that uses the same settings, and sent from memory.
  bool replay = false;
  // With replay: each stream connection gets the loop as fast as the peer
  // reads it instead of at the frame rate (for benchmarks).
  bool flood = false;
  // Live mode only: the video goes out with the two-byte NAL unit headers of
  // H.265 (a VPS before each SPS, slice and parameter-set types mapped), the
  // payloads unchanged. Not decodable: a stream that is not H.264, for hosts
  // that must handle video without parsing it.
  bool h265NalHeaders = false;
  // Live mode only: the video is real H.265 (libx265), on the device
  // protocol and the RTSP face alike, with IDR key frames and VPS/SPS/PPS
  // as the header.
  bool h265 = false;
  std::string alarmHost = "127.0.0.1";
  uint16_t alarmPort = 5005;
  uint32_t alarmPeriodMs = 0;  // push an alarm every so often; 0 = only on command
  bool answerDiscovery = true;
  uint16_t discoveryPort = 0;  // 0 = the device library's discovery port
  // RTSP face on this port of the device's address (rtsp://ADDRESS:PORT/stream0
  // and /stream1, Digest with user and password); 0 = none.
  uint16_t rtspPort = 0;
  // ONVIF face (HTTP/SOAP on this port of the device's address; 0 = off) and
  // its WS-Discovery responder (unicast on the device's address; 0 = none).
  // Multicast discovery joins 239.255.255.250 on loopback: only inside a
  // network namespace of its own, as the group port is shared machine-wide.
  // Alarms reach the face's pull points: negative values as digital input
  // -value going active, others as motion. The face stays up through
  // Restart and is not touched by the fault switches; GetStreamUri answers
  // the RTSP face's rtsp://address:rtspPort/stream0 (first profile) and
  // /stream1 (second), with port 554 when the RTSP face is off.
  uint16_t onvifPort = 0;
  uint16_t onvifDiscoveryPort = 3702;
  bool onvifMulticast = false;
  // The ONVIF face's clock runs this many seconds from the host's (a camera
  // whose clock was never set): tokens are judged on that clock.
  int64_t onvifClockOffsetSeconds = 0;
};

struct PtzPosition {
  double pan = 0;   // -1 (far left) .. 1 (far right) of the scene
  double tilt = 0;  // -1 (top) .. 1 (bottom)
  double zoom = 1;  // 1 .. 8
};

// Counters of one stream connection.
struct StreamObservation {
  int streamType = 0;  // as the client asked for it
  bool active = false;
  uint64_t headers = 0;  // header packets sent
  uint64_t frames = 0;   // video frames sent
  // Video frames left out because this viewer fell behind: its send queue
  // was full, and then every frame up to the next IDR.
  uint64_t framesDropped = 0;
  uint64_t keyFrames = 0;
  uint64_t auxPackets = 0;  // auxiliary (SEI) packets sent
  uint64_t bytes = 0;       // payload bytes sent
};

// What a device has seen and done; a consistent copy taken under its lock.
struct Observations {
  uint64_t logins = 0;         // accepted logins
  uint64_t refusedLogins = 0;  // bad credentials or refused by fault injection
  std::string lastUser;        // user name of the last login attempt
  uint64_t activeLogins = 0;   // login connections currently authenticated
  uint64_t heartbeats = 0;
  PtzPosition ptz;
  int32_t lastPtzCode = -1;  // last PTZ request, accepted or not
  int32_t lastPtzParam1 = 0;
  int32_t lastPtzParam2 = 0;
  int32_t lastPtzResult = 0;
  uint64_t ptzRequests = 0;
  bool muted = true;  // audio off until a client switches it on
  bool voiceActive = false;
  uint64_t voiceStarted = 0;
  uint64_t voiceStopped = 0;
  uint64_t keyFrameRequests = 0;
  uint64_t snapshots = 0;
  uint64_t alarmsPushed = 0;  // alarms delivered to the alarm target
  uint64_t alarmsFailed = 0;  // alarms that could not be delivered
  int32_t lastAlarmValue = 0;
  uint64_t discoveryAnswers = 0;
  uint64_t restarts = 0;
  bool running = false;  // listening (false while stopped or during a restart)
  uint64_t framesEncoded = 0;
  // One per stream connection, oldest first. Only the latest 1024 are kept:
  // older closed ones are forgotten (counted here) so long runs stay bounded.
  std::vector<StreamObservation> streams;
  uint64_t streamsForgotten = 0;
  // RTSP face (DeviceConfig::rtspPort).
  uint64_t rtspConnections = 0;    // accepted
  uint64_t rtspRefused = 0;        // requests with a wrong Digest answer
  uint64_t rtspViewers = 0;        // connections playing now
  uint64_t rtspFramesSent = 0;     // video frames sent to RTSP viewers
  uint64_t rtspFramesDropped = 0;  // as StreamObservation::framesDropped
  uint64_t rtspBytes = 0;          // H.264 bytes of those frames
};

// The closing line of a run over these devices' observations: logins,
// streams, and the frames and bytes sent to every viewer, our protocol's and
// RTSP's. Pure; any thread.
std::string SummaryLine(const std::vector<Observations>& devices);

class Simulator;

// One simulated device. Owned by its Simulator; references stay valid until
// the Simulator is destroyed.
class Device {
 public:
  class Impl;
  explicit Device(std::shared_ptr<Impl> impl);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  const DeviceConfig& Config() const;  // as created; a restart does not change it
  MediaSettings CurrentMedia() const;  // the settings the encoder uses now

  Observations Observe() const;
  // Waits until pred holds for the device's observations, or timeout passes;
  // wakes whenever the device records something. Returns the last result.
  bool WaitFor(const std::function<bool(const Observations&)>& pred,
               std::chrono::milliseconds timeout) const;

  // Pushes one alarm with this value to the alarm target now, from the
  // device's own address. Returns true when it was delivered.
  bool RaiseAlarm(int32_t value);

  // Applies a PTZ request as if a client had sent it; returns its result.
  int32_t Ptz(int32_t code, int32_t param1, int32_t param2);

  // JPEG of the current picture (what a snapshot request would return).
  std::vector<uint8_t> Snapshot();

  // --- fault injection ---
  // Refuse every login (wrong credentials answer) while on.
  void SetRefuseLogins(bool on);
  // Accept connections but never answer anything while on (existing
  // connections go silent too).
  void SetStall(bool on);
  // Close every open login, stream and RTSP connection now.
  void DropAllConnections();
  // Close everything and stop listening; listen again after the delay, with
  // new media settings when given (so the stream header changes).
  void Restart(std::chrono::milliseconds delay, const MediaSettings* newMedia = nullptr);
  // The next frame on every open stream connection is sent malformed (its
  // framing is corrupt), then the connection is closed.
  void InjectMalformedFrame();
  // The next frame on every open stream connection declares a length far
  // above any allowed size, then the connection is closed.
  void InjectOversizedFrame();
  // Limit each connection's sending rate; 0 = unlimited.
  void SetThrottle(uint64_t bytesPerSecond);

  // Sends no more media frames, for good (live, replay and flood alike), but
  // keeps every connection open, so what is already queued still reaches its
  // viewer. The stream counts are final once this returns: a run can then
  // wait until a viewer has received every frame counted as sent.
  void StopMedia();

 private:
  std::shared_ptr<Impl> impl_;
};

struct SimulatorOptions {
  int ioThreads = 2;  // network threads shared by all devices
};

class Simulator {
 public:
  explicit Simulator(SimulatorOptions options = {});
  // Stops every device and joins the threads.
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Adds a device and starts it at once (binds its ports). Returns null and
  // sets *error when the configuration is invalid or a port cannot be bound;
  // nothing is left behind then.
  Device* AddDevice(const DeviceConfig& config, std::string* error = nullptr);

  size_t DeviceCount() const;
  Device& device(size_t index);  // in the order added

  // Stops every device (closes connections and listeners). Idempotent.
  void Stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qrv::sim
