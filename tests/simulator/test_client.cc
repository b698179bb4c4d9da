#include "tests/simulator/test_client.h"

#include <unistd.h>

#include "tmcc/native/codec/auth.h"
#include "tmcc/native/codec/builders.h"
#include "tmcc/native/codec/parsers.h"

namespace qrv::sim::test {

namespace proto = tmcc::protocol;

std::string TestAddress(int index) {
  const auto pid = static_cast<unsigned>(getpid());
  return "127." + std::to_string(64 + (pid >> 8) % 128) + "." + std::to_string(pid & 0xFF) + "." +
         std::to_string(index);
}

bool TestClient::Connect(const std::string& address, uint16_t port,
                         std::chrono::milliseconds timeout) {
  asio::error_code result = asio::error::would_block;
  socket_.async_connect({asio::ip::make_address_v4(address), port},
                        [&](const asio::error_code& e) { result = e; });
  io_.restart();
  io_.run_for(timeout);
  if (result == asio::error::would_block) {
    Close();
    return false;
  }
  return !result;
}

bool TestClient::Write(const std::vector<uint8_t>& bytes) {
  asio::error_code error;
  asio::write(socket_, asio::buffer(bytes), error);
  return !error;
}

ReadResult TestClient::Read(Frame& out, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto decoded = proto::DecodeFrame(inbox_);
    if (decoded.status == proto::DecodeStatus::kError) {
      lastError_ = decoded.error;
      return ReadResult::kMalformed;
    }
    if (decoded.status == proto::DecodeStatus::kFrame) {
      out.type = decoded.frame.type;
      out.requestId = decoded.frame.requestId;
      out.payload.assign(decoded.frame.payload.begin(), decoded.frame.payload.end());
      inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<ptrdiff_t>(decoded.consumed));
      return ReadResult::kFrame;
    }
    if (peerClosed_) return ReadResult::kClosed;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline || !socket_.is_open()) return ReadResult::kTimeout;
    std::array<uint8_t, 65536> buffer;
    asio::error_code error = asio::error::would_block;
    size_t got = 0;
    socket_.async_read_some(asio::buffer(buffer), [&](const asio::error_code& e, size_t n) {
      error = e;
      got = n;
    });
    io_.restart();
    io_.run_for(deadline - now);
    if (error == asio::error::would_block) {
      socket_.cancel();
      io_.restart();
      io_.run();  // lets the cancelled read finish
      if (got == 0) return ReadResult::kTimeout;
    } else if (error) {
      peerClosed_ = true;
      return ReadResult::kClosed;
    }
    inbox_.insert(inbox_.end(), buffer.begin(), buffer.begin() + got);
  }
}

std::optional<proto::LoginStatus> TestClient::Login(proto::Purpose purpose, uint8_t streamType,
                                                    const std::string& user,
                                                    const std::string& password,
                                                    bool* serverProofOk, int flipProofByte) {
  Frame frame;
  if (Read(frame) != ReadResult::kFrame || frame.type != proto::MessageType::kServerHello)
    return std::nullopt;
  auto hello = proto::ParseServerHello(frame.payload);
  if (!hello) return std::nullopt;
  proto::Login login;
  login.purpose = purpose;
  login.streamType = streamType;
  proto::MakeNonce(login.clientNonce);
  login.user = user;
  login.proof = proto::ComputeClientProof(password, hello->serverNonce, login.clientNonce, purpose,
                                          streamType, user);
  if (flipProofByte >= 0 && static_cast<size_t>(flipProofByte) < login.proof.size())
    login.proof[static_cast<size_t>(flipProofByte)] ^= 0xFF;
  std::vector<uint8_t> bytes;
  if (!proto::BuildLogin(bytes, nextRequestId_++, login) || !Write(bytes)) return std::nullopt;
  if (Read(frame) != ReadResult::kFrame || frame.type != proto::MessageType::kLoginResult)
    return std::nullopt;
  auto result = proto::ParseLoginResult(frame.payload);
  if (!result) return std::nullopt;
  if (serverProofOk)
    *serverProofOk = proto::ProofsEqual(
        result->serverProof,
        proto::ComputeServerProof(password, login.clientNonce, hello->serverNonce));
  return result->status;
}

std::optional<proto::Answer> TestClient::Request(proto::RequestCode code, int32_t arg0,
                                                 int32_t arg1, int32_t arg2,
                                                 const std::string& text) {
  proto::Request request;
  request.code = code;
  request.arg0 = arg0;
  request.arg1 = arg1;
  request.arg2 = arg2;
  request.text = text;
  const uint32_t id = nextRequestId_++;
  std::vector<uint8_t> bytes;
  if (!proto::BuildRequest(bytes, id, request) || !Write(bytes)) return std::nullopt;
  Frame frame;
  while (Read(frame) == ReadResult::kFrame) {
    if (frame.type != proto::MessageType::kAnswer || frame.requestId != id) continue;
    answerPayload_ = std::move(frame.payload);
    return proto::ParseAnswer(answerPayload_);
  }
  return std::nullopt;
}

bool TestClient::WaitClosed(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  Frame frame;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const auto r = Read(frame, left);
    if (r == ReadResult::kClosed) return true;
    if (r == ReadResult::kTimeout) return false;
    if (r == ReadResult::kMalformed) inbox_.clear();
  }
  return false;
}

void TestClient::Close() {
  asio::error_code ignored;
  socket_.close(ignored);
}

}  // namespace qrv::sim::test
