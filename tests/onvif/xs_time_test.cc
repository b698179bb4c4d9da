// xs:duration and xs:dateTime: the forms devices send, and refusal of the
// rest.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tmcc/onvif/codec/xs_datetime.h"
#include "tmcc/onvif/codec/xs_duration.h"

namespace onvif = qrv::tmcc::onvif;

TEST(XsDuration, ParsesTheFormsDevicesUse) {
  EXPECT_EQ(onvif::ParseDuration("PT10S"), 10000);
  EXPECT_EQ(onvif::ParseDuration("PT1M30.5S"), 90500);
  EXPECT_EQ(onvif::ParseDuration("PT0.001S"), 1);
  EXPECT_EQ(onvif::ParseDuration("PT0.0009S"), 0);
  EXPECT_EQ(onvif::ParseDuration("P1DT2H"), (26 * 3600) * 1000);
  EXPECT_EQ(onvif::ParseDuration("PT60M"), 3600 * 1000);
  EXPECT_EQ(onvif::ParseDuration("P0Y0M1D"), 86400 * 1000);
  EXPECT_EQ(onvif::ParseDuration("P366D"), onvif::kMaxDurationMs);
  for (const char* bad : {"",
                          "P",
                          "PT",
                          "P1DT",
                          "T10S",
                          "PT10",
                          "PT1.S",
                          "PT.5S",
                          "PT1.5M",
                          "PT10S5M",
                          "PT1H1H",
                          "P1Y",
                          "P2M",
                          "-PT10S",
                          "PT-1S",
                          "P367D",
                          "PT99999999999999S",
                          "PT1S ",
                          "pt1s",
                          "P1D1D"}) {
    EXPECT_FALSE(onvif::ParseDuration(bad)) << bad;
  }
}

TEST(XsDuration, FormatsAndReadsBack) {
  for (int64_t ms : {0LL, 1LL, 10LL, 999LL, 1000LL, 60000LL, 90500LL, 3600123LL}) {
    EXPECT_EQ(onvif::ParseDuration(onvif::FormatDuration(ms)), ms) << ms;
  }
  EXPECT_EQ(onvif::FormatDuration(10000), "PT10S");
  EXPECT_EQ(onvif::FormatDuration(90500), "PT90.5S");
  EXPECT_EQ(onvif::FormatDuration(-5), "PT0S");
}

TEST(XsDateTime, ConvertsCivilTimesBothWays) {
  EXPECT_EQ(onvif::UnixFromCivil({1970, 1, 1, 0, 0, 0}), 0);
  EXPECT_EQ(onvif::UnixFromCivil({2000, 3, 1, 0, 0, 0}), 951868800);
  EXPECT_EQ(onvif::UnixFromCivil({2038, 1, 19, 3, 14, 8}), 2147483648LL);
  EXPECT_EQ(onvif::UnixFromCivil({2024, 2, 29, 12, 0, 0}), 1709208000);
  EXPECT_FALSE(onvif::UnixFromCivil({2023, 2, 29, 0, 0, 0}));
  EXPECT_FALSE(onvif::UnixFromCivil({1900, 2, 29, 0, 0, 0}));
  EXPECT_FALSE(onvif::UnixFromCivil({2024, 13, 1, 0, 0, 0}));
  EXPECT_FALSE(onvif::UnixFromCivil({2024, 1, 1, 24, 0, 0}));
  EXPECT_FALSE(onvif::UnixFromCivil({0, 1, 1, 0, 0, 0}));
  // Every day of four centuries (leap rules included) survives the round trip.
  for (int64_t day = -3653; day < 146097; day += 1) {
    const int64_t t = day * 86400 + 3723;
    const auto c = onvif::CivilFromUnix(t);
    ASSERT_EQ(onvif::UnixFromCivil(c), t) << day;
  }
}

TEST(XsDateTime, ParsesZonesAndFractionsAndFormatsUtc) {
  EXPECT_EQ(onvif::ParseDateTime("2024-05-06T07:08:09Z"), 1714979289);
  EXPECT_EQ(onvif::ParseDateTime("2024-05-06T07:08:09.123456Z"), 1714979289);
  EXPECT_EQ(onvif::ParseDateTime("2024-05-06T09:08:09+02:00"), 1714979289);
  EXPECT_EQ(onvif::ParseDateTime("2024-05-06T02:38:09-04:30"), 1714979289);
  EXPECT_EQ(onvif::ParseDateTime("2024-05-06T07:08:09"), 1714979289);
  EXPECT_EQ(onvif::FormatDateTime(1714979289), "2024-05-06T07:08:09Z");
  EXPECT_EQ(onvif::FormatDateTime(0), "1970-01-01T00:00:00Z");
  for (const char* bad :
       {"", "2024-05-06", "2024-05-06T07:08", "2024-5-06T07:08:09Z", "2024-05-06T07:08:09ZZ",
        "2024-05-06T07:08:09+2:00", "2024-05-06T07:08:09.Z", "2024-02-30T00:00:00Z",
        "2024-05-06 07:08:09Z", "2024-05-06T07:08:09+15:00"}) {
    EXPECT_FALSE(onvif::ParseDateTime(bad)) << bad;
  }
}
