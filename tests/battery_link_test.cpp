#include <gtest/gtest.h>

#include "tests/test_support.h"

using namespace test;

TEST(Smoke, FullRoundAtAddressOne) {
  Host host;
  TestBattery dev;
  host.Attach(dev, 7);
  dev.InitSetting(Json::Value(Json::objectValue));
  dev.RefreshStatus();
  ASSERT_EQ(host.port->frames.size(), 1u);
  EXPECT_EQ(host.port->frames[0], (Bytes{0xFE, 0xFE, 0x01, 0xA1, 0xA2}));
  Bytes cells = CellFrame(0x01, Readings(1200));
  EXPECT_EQ(dev.process(cells.data(), cells.size()), 1);
  Bytes gv{0xED, 0x01, 0x09, 0x60, 0x6A};
  EXPECT_EQ(dev.process(gv.data(), gv.size()), 1);
  EXPECT_EQ(dev.group_voltage_, 240.0f);
}
