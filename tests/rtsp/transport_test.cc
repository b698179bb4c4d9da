// The Session and Transport headers of a SETUP answer: what servers send,
// and what must not reach a later request.
#include <gtest/gtest.h>

#include <string>

#include "tmcc/rtsp/codec/transport.h"

namespace rt = qrv::tmcc::rtsp;

TEST(RtspSessionHeader, ReadsTheIdAndTimeout) {
  auto s = rt::ParseSessionHeader(" 4F2A91C0.x_y$z-+ ; timeout = 30");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->id, "4F2A91C0.x_y$z-+");
  EXPECT_EQ(s->timeoutSeconds, 30u);

  s = rt::ParseSessionHeader("abc");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->timeoutSeconds, rt::kDefaultSessionTimeout);
  s = rt::ParseSessionHeader("abc;TIMEOUT=0;other=1");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->timeoutSeconds, rt::kDefaultSessionTimeout);
}

TEST(RtspSessionHeader, RefusesWhatCouldBreakTheNextRequest) {
  for (const char* bad : {"", ";timeout=5", "a b", "a\r\nX: 1", "a\"b", "a;timeout=x",
                          "a;timeout=-1", "a;timeout=99999999999"}) {
    EXPECT_FALSE(rt::ParseSessionHeader(bad)) << bad;
  }
  EXPECT_TRUE(rt::ParseSessionHeader(std::string(rt::kMaxSessionId, 'a')));
  EXPECT_FALSE(rt::ParseSessionHeader(std::string(rt::kMaxSessionId + 1, 'a')));
}

TEST(RtspTransport, ReadsInterleavedAndUdpAnswers) {
  auto t = rt::ParseTransport("RTP/AVP/TCP;unicast;interleaved=0-1;ssrc=1A2B3C4D;mode=\"PLAY\"");
  ASSERT_TRUE(t);
  EXPECT_TRUE(t->tcp);
  EXPECT_TRUE(t->unicast);
  ASSERT_TRUE(t->interleaved);
  EXPECT_EQ(t->interleaved->first, 0);
  EXPECT_EQ(t->interleaved->second, 1);
  EXPECT_EQ(t->ssrc, 0x1A2B3C4Du);

  t = rt::ParseTransport("rtp/avp;unicast;client_port=5000-5001;server_port=6970-6971");
  ASSERT_TRUE(t);
  EXPECT_FALSE(t->tcp);
  ASSERT_TRUE(t->clientPort && t->serverPort);
  EXPECT_EQ(t->clientPort->first, 5000);
  EXPECT_EQ(t->serverPort->second, 6971);
  EXPECT_FALSE(t->interleaved);

  // A single channel stands for the pair; only the first of a list counts.
  t = rt::ParseTransport("RTP/AVP/TCP;interleaved=4;mode=\"a,b\",RTP/AVP;client_port=1-2");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->interleaved->first, 4);
  EXPECT_EQ(t->interleaved->second, 5);
  EXPECT_FALSE(t->clientPort);
}

TEST(RtspTransport, RefusesOtherProfilesAndBadNumbers) {
  for (const char* bad :
       {"", "RAW/RAW/UDP;unicast", "RTP/SAVP;unicast", "RTP/AVP/TCP;interleaved=256-257",
        "RTP/AVP/TCP;interleaved=255", "RTP/AVP/TCP;interleaved=a-b",
        "RTP/AVP/TCP;interleaved=", "RTP/AVP;client_port=70000-70001", "RTP/AVP;ssrc=123456789",
        "RTP/AVP;ssrc=xyz", "RTP/AVP/TCP;interleaved=0-1\r\nX: y"}) {
    EXPECT_FALSE(rt::ParseTransport(bad)) << bad;
  }
}
