// The camera's side of RTSP for the device-library tests: a scripted peer
// (ScriptedPeer) reads the client's requests and answers them with these.
// Every read is bounded by the peer's receive time-out.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tests/tmcc/loopback.h"

namespace qrv::test {

struct RtspRequest {
  std::string method;
  std::string text;  // the whole header block
  int cseq = 0;
};

// One request's header block (clients send no body here), or nothing when
// the client closed or stayed silent.
inline std::optional<RtspRequest> ReadRequest(int fd) {
  std::string text;
  while (text.size() < 16384) {
    char c;
    if (recv(fd, &c, 1, 0) != 1) return std::nullopt;
    text += c;
    if (text.size() >= 4 && text.compare(text.size() - 4, 4, "\r\n\r\n") == 0) break;
  }
  RtspRequest r;
  r.method = text.substr(0, text.find(' '));
  r.text = text;
  auto at = text.find("CSeq: ");
  if (at != std::string::npos) r.cseq = std::atoi(text.c_str() + at + 6);
  return r;
}

inline void SendText(int fd, const std::string& text) {
  ScriptedPeer::Send(fd, std::vector<uint8_t>(text.begin(), text.end()));
}

inline void Answer(int fd, const RtspRequest& request, const std::string& status,
                   const std::string& headers = "", const std::string& body = "") {
  std::string text =
      "RTSP/1.0 " + status + "\r\nCSeq: " + std::to_string(request.cseq) + "\r\n" + headers;
  if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  SendText(fd, text + "\r\n" + body);
}

// Waits until the client closes the connection (bounded by the peer's
// receive time-out).
inline void DrainUntilClosed(int fd) {
  char buffer[512];
  for (int i = 0; i < 8; ++i) {
    ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n == 0) return;
  }
}

inline constexpr char kSdp[] =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=cam\r\nt=0 0\r\nm=video 0 RTP/AVP 96\r\n"
    "a=rtpmap:96 H264/90000\r\na=fmtp:96 packetization-mode=1\r\na=control:track1\r\n";

// Answers OPTIONS and DESCRIBE; the SETUP request is returned unanswered.
inline std::optional<RtspRequest> UpToSetup(int fd) {
  auto options = ReadRequest(fd);
  if (!options) return std::nullopt;
  Answer(fd, *options, "200 OK",
         "Public: OPTIONS, DESCRIBE, SETUP, PLAY, GET_PARAMETER, TEARDOWN\r\n");
  auto describe = ReadRequest(fd);
  if (!describe) return std::nullopt;
  Answer(fd, *describe, "200 OK", "Content-Type: application/sdp\r\n", kSdp);
  return ReadRequest(fd);
}

// Plays: answers SETUP with an interleaved transport and session "c0ffee".
inline bool UpToPlay(int fd, int timeoutSeconds = 60) {
  auto setup = UpToSetup(fd);
  if (!setup || setup->method != "SETUP") return false;
  Answer(fd, *setup, "200 OK",
         "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\nSession: c0ffee;timeout=" +
             std::to_string(timeoutSeconds) + "\r\n");
  auto play = ReadRequest(fd);
  if (!play || play->method != "PLAY" || play->text.find("Session: c0ffee") == std::string::npos) {
    return false;
  }
  Answer(fd, *play, "200 OK", "Session: c0ffee\r\n");
  return true;
}

// An RTP packet of one NAL unit (payload type 96).
inline std::vector<uint8_t> Rtp(uint16_t sequence, bool marker, std::vector<uint8_t> nal) {
  const uint8_t header[12] = {0x80,
                              static_cast<uint8_t>((marker ? 0x80 : 0) | 96),
                              static_cast<uint8_t>(sequence >> 8),
                              static_cast<uint8_t>(sequence),
                              0,
                              0,
                              0x0b,
                              0xb8,
                              0,
                              0,
                              0,
                              7};
  std::vector<uint8_t> out(sizeof(header) + nal.size());
  std::memcpy(out.data(), header, sizeof(header));
  std::memcpy(out.data() + sizeof(header), nal.data(), nal.size());
  return out;
}

// SPS, PPS and an IDR slice whose last byte is `mark`.
inline std::vector<std::vector<uint8_t>> KeyPicture(uint16_t firstSequence, uint8_t mark) {
  return {Rtp(firstSequence, false, {0x67, 0x42, 0xe0, 0x1f, 0xff, 0x11}),
          Rtp(firstSequence + 1, false, {0x68, 0xff, 0x21}),
          Rtp(firstSequence + 2, true, {0x65, 0xff, 0x31, mark})};
}

// RTP or RTCP on an interleaved channel of the RTSP connection.
inline std::string Interleaved(uint8_t channel, const std::vector<uint8_t>& packet) {
  std::string out = {'$', static_cast<char>(channel), static_cast<char>(packet.size() >> 8),
                     static_cast<char>(packet.size() & 0xff)};
  return out + std::string(packet.begin(), packet.end());
}

}  // namespace qrv::test
