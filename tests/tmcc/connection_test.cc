// The framed connection: the pure frame reader over every split of a byte
// stream, and the connection against a raw loopback peer (one that never
// reads, one that trickles, one that says nothing).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>

#include "support/wait.h"
#include "tests/tmcc/loopback.h"
#include "tmcc/common/runtime.h"
#include "tmcc/native/codec/builders.h"
#include "tmcc/native/connection/frame_reader.h"
#include "tmcc/native/connection/framed_connection.h"

namespace qrv::tmcc::connection {
namespace {

namespace pr = qrv::tmcc::protocol;
using qrv::test::WaitUntil;
using namespace std::chrono_literals;

std::vector<uint8_t> SomeFrames() {
  std::vector<uint8_t> bytes;
  pr::BuildPing(bytes, 1);
  pr::BuildAlarm(bytes, 2, {1, 3, -1, "127.0.0.9"});
  pr::BuildStreamData(bytes, 3,
                      {pr::kStreamVideo, 1, 0, 64, 48, 5, 9, std::vector<uint8_t>(9000, 7)});
  pr::BuildPong(bytes, 4);
  return bytes;
}

// Feeds bytes in pieces of the given size, into `shared` while the reader
// takes it (overwritten after every other read, as other connections would
// between wake-ups); returns (type, request id, payload sum) seen.
std::vector<std::tuple<pr::MessageType, uint32_t, size_t>> ReadAll(std::span<const uint8_t> bytes,
                                                                   size_t piece,
                                                                   FrameReader& reader,
                                                                   std::span<uint8_t> shared = {}) {
  std::vector<std::tuple<pr::MessageType, uint32_t, size_t>> seen;
  size_t at = 0;
  for (size_t reads = 1; at < bytes.size() && reads <= 2 * bytes.size(); ++reads) {
    auto space = reader.Space(shared);
    const size_t n = std::min({piece, space.size(), bytes.size() - at});
    std::copy_n(bytes.data() + at, n, space.data());
    reader.Commit(n);
    at += n;
    for (auto r = reader.Next(); r.status == pr::DecodeStatus::kFrame; r = reader.Next()) {
      size_t sum = 0;
      for (size_t i = 0; i < r.frame.payload.size(); ++i) sum += r.frame.payload[i] * (i % 251 + 1);
      seen.emplace_back(r.frame.type, r.frame.requestId, sum);
    }
    if (reads % 2 == 0) {
      reader.Release();
      std::fill(shared.begin(), shared.end(), uint8_t{0xEE});
    }
  }
  return seen;
}

TEST(FrameReader, EverySplitOfTheStreamYieldsTheSameFramesAndMemoryStaysAtOneFrame) {
  const auto bytes = SomeFrames();
  FrameReader whole(16 * 1024, UINT32_MAX);
  const auto expected = ReadAll(bytes, bytes.size(), whole);
  ASSERT_EQ(expected.size(), 4u);
  for (size_t sharedSize : {0, 20, 5000, 64 * 1024}) {
    std::vector<uint8_t> shared(sharedSize);
    for (size_t piece : {1, 2, 15, 16, 17, 1000, 4096}) {
      FrameReader reader(4096, UINT32_MAX);
      EXPECT_EQ(ReadAll(bytes, piece, reader, shared), expected)
          << "piece " << piece << ", shared " << sharedSize;
      EXPECT_EQ(reader.Pending(), 0u);
      // Grown to hold the 9 KiB frame once, not by every read.
      EXPECT_LE(reader.Capacity(), 9000u + 64 + 4096);
    }
  }
}

TEST(FrameReader, OversizedHeaderIsRefusedBeforeItsPayloadAndStaysRefused) {
  FrameReader reader(4096, 64);
  std::vector<uint8_t> big;
  pr::BuildStreamData(big, 1, {pr::kStreamVideo, 1, 0, 64, 48, 5, 9, std::vector<uint8_t>(100, 7)});
  auto space = reader.Space();
  std::copy_n(big.data(), pr::kFrameHeaderSize, space.data());
  reader.Commit(pr::kFrameHeaderSize);
  EXPECT_EQ(reader.Next().status, pr::DecodeStatus::kError);
  EXPECT_EQ(reader.Next().status, pr::DecodeStatus::kError);
  EXPECT_EQ(reader.Capacity(), 4096u);
  // A read after the error is still offered room (never an empty span that
  // would make the caller spin), sized by nothing the refused header says.
  FrameReader claimed(4096, 64);
  std::vector<uint8_t> huge;
  pr::AppendFrameHeader(huge, pr::MessageType::kStreamData, 1, 1u << 20);
  auto into = claimed.Space();
  std::copy(huge.begin(), huge.end(), into.begin());
  claimed.Commit(huge.size());
  EXPECT_EQ(claimed.Next().status, pr::DecodeStatus::kError);
  std::vector<uint8_t> shared(64);
  EXPECT_FALSE(claimed.Space(shared).empty());
  EXPECT_EQ(claimed.Capacity(), 4096u);
}

// A connection on the library's pool with a handler that records what it saw.
struct Recorder : Handler {
  std::atomic<int> frames{0};
  std::atomic<int> closed{0};
  std::atomic<CloseReason> reason{CloseReason::kPeerClosed};
  bool OnFrame(FramedConnection&, const pr::FrameView&) override {
    ++frames;
    return true;
  }
  void OnClosed(FramedConnection&, CloseReason r) override {
    reason = r;
    ++closed;
  }
};

// A connected pair: the library end as a FramedConnection, the raw end as fd.
struct Pair {
  Strand strand{asio::make_strand(IoContext())};
  std::shared_ptr<FramedConnection> connection;
  int fd = -1;

  Pair(Limits limits, Handler* handler) {
    const auto ip = test::LoopbackAddress(1);
    asio::ip::tcp::acceptor acceptor(IoContext(), {asio::ip::make_address(ip), 0});
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(acceptor.local_endpoint().port());
    inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
    asio::ip::tcp::socket socket(strand);
    acceptor.accept(socket);
    connection = std::make_shared<FramedConnection>(strand, std::move(socket), limits, handler);
    Run([&] { connection->Start(); });
  }
  ~Pair() {
    Run([&] { connection->Close(); });
    close(fd);
  }
  template <typename F>
  void Run(F f) {
    std::promise<void> done;
    asio::post(strand, [&] {
      f();
      done.set_value();
    });
    done.get_future().wait();
  }
};

TEST(FramedConnection, PeerThatDoesNotReadIsCutAtTheQueueBound) {
  Recorder recorder;
  Limits limits;
  limits.maxQueuedBytes = 64 * 1024;
  Pair pair(limits, &recorder);
  const auto before = Cuts().queueFull.load();
  // Small socket buffers, so the queue (not the kernel) takes the backlog.
  int small = 4096;
  setsockopt(pair.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  pair.Run([&] {
    asio::error_code ignored;
    pair.connection->socket().set_option(asio::socket_base::send_buffer_size(4096), ignored);
  });
  // Pongs as a peer's pings would ask for; the peer never reads them.
  size_t peak = 0;
  for (int i = 0; i < 1000 && recorder.closed == 0; ++i) {
    pair.Run([&] {
      for (int j = 0; j < 1000 && !pair.connection->closed(); ++j) {
        std::vector<uint8_t> pong;
        pr::BuildPong(pong, 1);
        pair.connection->Send(std::move(pong));
        peak = std::max(peak, pair.connection->queuedBytes());
      }
    });
  }
  EXPECT_EQ(recorder.closed.load(), 1);
  EXPECT_EQ(recorder.reason.load(), CloseReason::kQueueFull);
  EXPECT_LE(peak, limits.maxQueuedBytes);
  EXPECT_EQ(Cuts().queueFull.load(), before + 1);
}

TEST(FramedConnection, FrameTricklingInIsCutByTheWholeFrameTimeNotKeptAliveByBytes) {
  Recorder recorder;
  Limits limits;
  limits.frameTime = 400ms;
  limits.idleTime = 5s;
  Pair pair(limits, &recorder);
  std::vector<uint8_t> frame;
  pr::BuildAlarm(frame, 1, {1, 3, 1, ""});
  // One byte per wait, never the whole frame; the bytes keep the idle timer quiet.
  for (size_t i = 0; i + 1 < frame.size() && recorder.closed == 0; ++i) {
    send(pair.fd, &frame[i], 1, MSG_NOSIGNAL);
    WaitUntil([&] { return recorder.closed.load() != 0; }, 100ms);
  }
  EXPECT_TRUE(WaitUntil([&] { return recorder.closed.load() != 0; }, 5s));
  EXPECT_EQ(recorder.reason.load(), CloseReason::kSlowFrame);
  EXPECT_EQ(recorder.frames.load(), 0);
}

TEST(FramedConnection, WholeFramesKeepFlowingAndSilenceIsCutAsIdle) {
  Recorder recorder;
  Limits limits;
  limits.frameTime = 300ms;
  limits.idleTime = 1s;
  Pair pair(limits, &recorder);
  std::vector<uint8_t> ping;
  pr::BuildPing(ping, 1);
  // Pings spaced well within the idle time for longer than both limits.
  for (int i = 0; i < 25; ++i) {
    send(pair.fd, ping.data(), ping.size(), MSG_NOSIGNAL);
    WaitUntil([&] { return recorder.closed.load() != 0; }, 100ms);
  }
  EXPECT_EQ(recorder.closed.load(), 0);
  EXPECT_EQ(recorder.frames.load(), 25);
  EXPECT_TRUE(WaitUntil([&] { return recorder.closed.load() != 0; }, 5s));
  EXPECT_EQ(recorder.reason.load(), CloseReason::kIdle);
}

TEST(FramedConnection, MalformedBytesEndTheConnectionAfterTheGoodFrames) {
  Recorder recorder;
  Pair pair(Limits{}, &recorder);
  auto bytes = SomeFrames();
  bytes.insert(bytes.end(), {'G', 'E', 'T', ' ', '/'});
  send(pair.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  EXPECT_TRUE(WaitUntil([&] { return recorder.closed.load() != 0; }, 5s));
  EXPECT_EQ(recorder.frames.load(), 4);
  EXPECT_EQ(recorder.reason.load(), CloseReason::kBadFrame);
}

}  // namespace
}  // namespace qrv::tmcc::connection
