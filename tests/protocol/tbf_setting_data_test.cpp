#include "protocol/tbf_setting_data.h"

#include <gtest/gtest.h>

#include "support/hex.h"

namespace harlune::protocol {
namespace {

using testing::Hex;
using testing::Unhex;
using testing::Zeros;

// Every field with a distinct value, so a field at a wrong offset shows.
_TBF_SETTING_DATA DistinctRecord() {
  _TBF_SETTING_DATA r;
  r.TBFMaxQueueSize = 0x01020304;
  r.TBFMaxTokenSize = 0x05060708;
  r.TBFMPU = 100;
  r.TBFRate = 102400;
  r.TBFPeakRate = 0x11223344;
  r.TBFMTU = 1500;
  r.TBFThrough = 1;
  r.TBFMode = 1;
  r.DriverClassId = 0xDEADBEEF;
  r.Protocol = 17;
  r.LocalIPAddr = HostToNet32(0xC0A80002);   // 192.168.0.2
  r.RemoteIPAddr = HostToNet32(0x0A000001);  // 10.0.0.1
  r.LocalIPAddrMask = 0xFFFFFFFF;
  r.RemoteIPAddrMask = HostToNet32(0xFF000000);
  r.LocalPortCount = 2;
  r.RemotePortCount = 1;
  r.LocalPorts[0] = {HostToNet16(80), HostToNet16(80)};
  r.LocalPorts[1] = {HostToNet16(1000), HostToNet16(2000)};
  r.RemotePorts[0] = {HostToNet16(443), HostToNet16(443)};
  r.HasApplication = 1;
  r.Available = 0;
  return r;
}

const std::string kDistinctRecordBytes =
    "04 03 02 01  08 07 06 05  64 00 00 00  00 90 01 00"  // queue, token, MPU, rate
    "44 33 22 11  dc 05 00 00  01 00 00 00  01 00 00 00"  // peak, MTU, through+pad, mode
    "ef be ad de  11 00 00 00"                            // class id, protocol+pad
    "c0 a8 00 02  0a 00 00 01  ff ff ff ff  ff 00 00 00"  // addresses and masks
    "02 00 00 00  01 00 00 00"                            // port counts
    "00 50 00 50  03 e8 07 d0" +
    Zeros(56) +                  // local ranges
    "01 bb 01 bb" + Zeros(60) +  // remote ranges
    "01 00 00 00  00 00 00 00";  // has application, available

TEST(TbfSettingData, EncodesEveryFieldAtItsOffsetAndByteOrder) {
  const auto bytes = EncodeTbfSettingData(DistinctRecord());
  EXPECT_EQ(Hex(bytes), Hex(Unhex(kDistinctRecordBytes)));
}

TEST(TbfSettingData, DecodesWhatItEncodes) {
  const auto golden = Unhex(kDistinctRecordBytes);
  ASSERT_EQ(golden.size(), kTbfSettingDataSize);
  EXPECT_EQ(DecodeTbfSettingData(std::span<const std::uint8_t, 200>(golden.data(), 200)),
            DistinctRecord());
}

TEST(TbfSettingData, DefaultsAreTheNewFilterValues) {
  const auto bytes = EncodeTbfSettingData({});
  EXPECT_EQ(LoadLe32(bytes, tbf_offset::kMpu), 100U);
  EXPECT_EQ(LoadLe32(bytes, tbf_offset::kRate), 102400U);
  EXPECT_EQ(LoadLe16(bytes, tbf_offset::kProtocol), 6U);
  EXPECT_EQ(LoadLe32(bytes, tbf_offset::kAvailable), 1U);
}

TEST(TbfSettingData, PaddingIsWrittenAsZeroAndIgnoredOnRead) {
  auto bytes = EncodeTbfSettingData(DistinctRecord());
  for (std::size_t offset : {25, 26, 27, 38, 39}) {
    EXPECT_EQ(bytes[offset], 0) << offset;
    bytes[offset] = 0xAA;
  }
  EXPECT_EQ(DecodeTbfSettingData(bytes), DistinctRecord());
}

TEST(TbfSettingData, KeepsImpossiblePortCountsForTheReaderToJudge) {
  auto bytes = EncodeTbfSettingData({});
  StoreLe32(bytes, tbf_offset::kLocalPortCount, 0xFFFFFFFF);
  EXPECT_EQ(DecodeTbfSettingData(bytes).LocalPortCount, 0xFFFFFFFFU);
}

}  // namespace
}  // namespace harlune::protocol
