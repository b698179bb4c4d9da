// The pure parts of the ONVIF backend: what of a camera's URI is used, how
// our PTZ codes become ONVIF operations, and the bounded memory of logins.
#include <gtest/gtest.h>

#include <vector>

#include "tmcc/common/service_uri.h"
#include "tmcc/common/target_memory.h"
#include "tmcc/onvif/onvif_ptz_map.h"

namespace qt = qrv::tmcc;

TEST(ServiceUri, OnlyThePortAndPathOfACamerasUriAreKept) {
  // Whatever host the camera names (a NAT's inside, a name, a third party),
  // the port and path are all that reach the request.
  auto at = qt::LocateOnCamera("http://10.9.8.7:8899/onvif/Media?a=1#frag", 80);
  ASSERT_TRUE(at);
  EXPECT_EQ(at->port, 8899);
  EXPECT_EQ(at->target, "/onvif/Media?a=1");
  at = qt::LocateOnCamera("http://user:pw@evil.example:1@203.0.113.1/snap.jpg", 80);
  ASSERT_TRUE(at);
  EXPECT_EQ(at->port, 80) << "the default, not a port hidden in the user part";
  EXPECT_EQ(at->target, "/snap.jpg");
  at = qt::LocateOnCamera("rtsp://[fe80::1]:10554", 554);
  ASSERT_TRUE(at);
  EXPECT_EQ(at->port, 10554);
  EXPECT_EQ(at->target, "/");
  at = qt::LocateOnCamera("rtsp://cam?stream=2", 554);
  ASSERT_TRUE(at);
  EXPECT_EQ(at->port, 554);
  EXPECT_EQ(at->target, "/?stream=2");

  auto parts = qt::SplitUri("RTSP://Cam.Local:554/Live");
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->scheme, "rtsp");
  EXPECT_EQ(parts->host, "cam.local");
  EXPECT_EQ(parts->target, "/Live") << "the path stays as written";

  // Anything that could break a request line, or names no port we can use.
  for (const char* bad : {"", "/onvif/device_service", "http//x/", "://x/", "1http://x/",
                          "http://x:0/", "http://x:65536/", "http://x:/", "http://x:8o/",
                          "http:///path", "http://[::1/", "http://[::1]x/", "http://x/a b",
                          "http://x/a\r\nHost: y", "http://x/\x7f", "http://x/\xc3\xa9"}) {
    EXPECT_FALSE(qt::LocateOnCamera(bad, 80)) << bad;
  }
  EXPECT_FALSE(qt::SplitUri("http://x/" + std::string(qt::kMaxServiceUri, 'a')));
}

TEST(OnvifPtzMap, DirectionsZoomStopsAndPresetsMapAndTheRestIsRefused) {
  // Up is positive tilt; the speed scales to a velocity, 80 being full.
  struct Direction {
    int code;
    double pan, tilt;
  };
  for (auto d :
       {Direction{21, 0, 1}, Direction{22, 0, -1}, Direction{23, -1, 0}, Direction{24, 1, 0},
        Direction{25, -1, 1}, Direction{26, 1, 1}, Direction{27, -1, -1}, Direction{28, 1, -1}}) {
    auto a = qt::MapPtzRequest(d.code, 0, 40);
    ASSERT_EQ(a.kind, qt::PtzActionKind::kMove) << d.code;
    EXPECT_DOUBLE_EQ(*a.pan, d.pan * 0.5) << d.code;
    EXPECT_DOUBLE_EQ(*a.tilt, d.tilt * 0.5) << d.code;
    EXPECT_FALSE(a.zoom);
    a = qt::MapPtzRequest(d.code, 1, 40);
    EXPECT_EQ(a.kind, qt::PtzActionKind::kStop);
    EXPECT_TRUE(a.stopPanTilt);
    EXPECT_FALSE(a.stopZoom) << "a direction's stop leaves a zoom running";
  }
  auto a = qt::MapPtzRequest(11, 0, 80);
  ASSERT_EQ(a.kind, qt::PtzActionKind::kMove);
  EXPECT_DOUBLE_EQ(*a.zoom, 1.0);
  EXPECT_FALSE(a.pan);
  a = qt::MapPtzRequest(12, 0, 500);
  EXPECT_DOUBLE_EQ(*a.zoom, -1.0) << "speeds beyond full are full";
  a = qt::MapPtzRequest(12, 0, 0);
  EXPECT_GT(-*a.zoom, 0.0) << "the slowest speed still moves";
  a = qt::MapPtzRequest(11, 1, 0);
  EXPECT_EQ(a.kind, qt::PtzActionKind::kStop);
  EXPECT_TRUE(a.stopZoom);
  EXPECT_FALSE(a.stopPanTilt);

  EXPECT_EQ(qt::MapPtzRequest(100, 5, 5).kind, qt::PtzActionKind::kSetPreset);
  EXPECT_EQ(qt::MapPtzRequest(101, 5, 5).kind, qt::PtzActionKind::kRemovePreset);
  a = qt::MapPtzRequest(102, 255, 255);
  EXPECT_EQ(a.kind, qt::PtzActionKind::kGotoPreset);
  EXPECT_EQ(a.presetNumber, 255);
  for (int n : {0, -1, 256})
    EXPECT_EQ(qt::MapPtzRequest(102, n, n).kind, qt::PtzActionKind::kInvalid);

  for (int code : {3, 13, 14, 15, 16, 122, 123}) {
    EXPECT_EQ(qt::MapPtzRequest(code, 0, 10).kind, qt::PtzActionKind::kUnsupported) << code;
  }
  for (int code : {0, 1, 20, 29, 99, 103, -21}) {
    EXPECT_EQ(qt::MapPtzRequest(code, 0, 10).kind, qt::PtzActionKind::kInvalid) << code;
  }
}

TEST(TargetMemory, KeepsTheLatestChoicePerAddressForgetsTheOldestAndNoUrlCredentials) {
  qt::TargetMemory memory(3);
  auto target = [](const char* address, qt::Backend backend) {
    qt::DeviceTarget t;
    t.address = asio::ip::make_address(address);
    t.backend = backend;
    t.urlUser = "u";
    t.urlPassword = "p";
    return t;
  };
  memory.Remember(target("127.0.0.1", qt::Backend::kOnvif));
  memory.Remember(target("127.0.0.2", qt::Backend::kRtsp));
  memory.Remember(target("127.0.0.1", qt::Backend::kRtsp));  // replaces, and is newest
  memory.Remember(target("127.0.0.3", qt::Backend::kOnvif));
  memory.Remember(target("127.0.0.4", qt::Backend::kOnvif));  // the bound: 2 goes
  EXPECT_EQ(memory.size(), 3u);
  EXPECT_FALSE(memory.Find(asio::ip::make_address("127.0.0.2")));
  auto found = memory.Find(asio::ip::make_address("127.0.0.1"));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->backend, qt::Backend::kRtsp);
  EXPECT_TRUE(found->urlUser.empty());
  EXPECT_TRUE(found->urlPassword.empty());
  memory.Forget(asio::ip::make_address("127.0.0.1"));
  EXPECT_FALSE(memory.Find(asio::ip::make_address("127.0.0.1")));
  EXPECT_EQ(memory.size(), 2u);
}

TEST(OnvifPtzMap, APresetNumberFindsTheCamerasPresetByNameTokenOrTheNumberTheyEndIn) {
  using Presets = std::vector<qrv::tmcc::onvif::Preset>;
  const Presets tokens = {{"P001", "Gate"}, {"P011", ""}, {"P046", "Door"}};
  const Presets names = {{"a", "Preset1"}, {"b", "Preset 12"}, {"c", " 7 "}};
  const Presets ours = {{"P001", ""}, {"9", "x"}, {"Z", "1"}};
  struct Case {
    const char* what;
    const Presets& presets;
    int number;
    const char* token;  // nullptr: none
  };
  const Case cases[] = {
      {"token ending in the number with zeros", tokens, 1, "P001"},
      {"not a token whose last digits merely end the same", tokens, 11, "P011"},
      {"the largest", tokens, 46, "P046"},
      {"no such number", tokens, 2, nullptr},
      {"no such number, a suffix of another", tokens, 6, nullptr},
      {"name ending in the number", names, 1, "a"},
      {"name ending in the number after a space", names, 12, "b"},
      {"name that is the number, trimmed", names, 7, "c"},
      {"name 2 is not 12", names, 2, nullptr},
      {"a name that is the number before a token ending in it", ours, 1, "Z"},
      {"a token that is the number", ours, 9, "9"},
  };
  for (const Case& c : cases) {
    const auto* found = qt::FindPreset(c.presets, c.number);
    if (c.token == nullptr) {
      EXPECT_EQ(found, nullptr) << c.what;
    } else {
      ASSERT_NE(found, nullptr) << c.what;
      EXPECT_EQ(found->token, c.token) << c.what;
    }
  }
}
