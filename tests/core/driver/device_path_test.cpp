#include "core/driver/device_path.h"

#include <gtest/gtest.h>

namespace harlune {
namespace {

TEST(DevicePath, AdapterNameGoesAfterTheDevicePrefix) {
  EXPECT_EQ(AdapterDevicePath("eth0"), "\\DEVICE\\eth0");
  EXPECT_EQ(DevicePathToUtf16(AdapterDevicePath("eth0")), u"\\DEVICE\\eth0");
}

TEST(DevicePath, LongPathsAreRefusedNotCut) {
  const std::string longest(259, 'a');
  ASSERT_TRUE(DevicePathToUtf16(longest));
  EXPECT_EQ(DevicePathToUtf16(longest)->size(), 259U);
  EXPECT_FALSE(DevicePathToUtf16(longest + "a"));
  // Counted in UTF-16 units, not bytes: 259 kana are 777 UTF-8 bytes.
  std::string kana;
  for (int i = 0; i < 259; ++i) kana += "あ";
  EXPECT_TRUE(DevicePathToUtf16(kana));
}

TEST(DevicePath, TextThatIsNotUtf8IsRefused) {
  EXPECT_FALSE(DevicePathToUtf16("\\DEVICE\\eth\xFF"));
  EXPECT_FALSE(DevicePathToUtf16(""));
}

}  // namespace
}  // namespace harlune
