// A minimal blocking client of the device protocol for the simulator's tests,
// built on the protocol codec. Every read is bounded by a time-out.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tmcc/common/codec/messages.h"
#include "tmcc/native/codec/frame.h"

namespace qrv::sim::test {

using namespace std::chrono_literals;

struct Frame {
  tmcc::protocol::MessageType type{};
  uint32_t requestId = 0;
  std::vector<uint8_t> payload;
};

enum class ReadResult { kFrame, kTimeout, kClosed, kMalformed };

// A loopback address unique to this test process: 127.A.B.index.
std::string TestAddress(int index);

class TestClient {
 public:
  TestClient() : socket_(io_) {}

  bool Connect(const std::string& address, uint16_t port,
               std::chrono::milliseconds timeout = 3000ms);
  bool Write(const std::vector<uint8_t>& bytes);
  ReadResult Read(Frame& out, std::chrono::milliseconds timeout = 3000ms);
  // The decode error of the last kMalformed read.
  tmcc::protocol::DecodeError LastDecodeError() const { return lastError_; }

  // Reads the greeting, logs in and reads the result. Returns the status, or
  // nothing when the device did not answer as it should. serverProofOk tells
  // whether the device proved it knows the password. flipProofByte >= 0
  // sends the right proof with that one byte inverted.
  std::optional<tmcc::protocol::LoginStatus> Login(tmcc::protocol::Purpose purpose,
                                                   uint8_t streamType, const std::string& user,
                                                   const std::string& password,
                                                   bool* serverProofOk = nullptr,
                                                   int flipProofByte = -1);
  // Sends a request and reads frames until its answer (skipping stream data).
  std::optional<tmcc::protocol::Answer> Request(tmcc::protocol::RequestCode code, int32_t arg0 = 0,
                                                int32_t arg1 = 0, int32_t arg2 = 0,
                                                const std::string& text = "");
  // Payload of the last answer (the answer's data points into it).
  const std::vector<uint8_t>& LastAnswerPayload() const { return answerPayload_; }

  // Waits until the device closes the connection; false on time-out.
  bool WaitClosed(std::chrono::milliseconds timeout = 3000ms);
  void Close();

 private:
  asio::io_context io_;
  asio::ip::tcp::socket socket_;
  std::vector<uint8_t> inbox_;
  tmcc::protocol::DecodeError lastError_ = tmcc::protocol::DecodeError::kNone;
  std::vector<uint8_t> answerPayload_;
  uint32_t nextRequestId_ = 1;
  bool peerClosed_ = false;  // the device closed its side
};

}  // namespace qrv::sim::test
