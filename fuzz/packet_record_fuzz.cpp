// Arbitrary bytes as a batch of capture records through the packet monitor:
// every row of every list is turned into text in both views and expanded
// into a command line. The first byte, which the monitor never interprets,
// also picks the store size and how the batch is drawn, so trimming,
// deferred drawing and freezing all run. The stores never exceed their size
// and every record takes one serial number.

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/app/ini_file_object.h"
#include "core/capture/packet_columns.h"
#include "core/capture/packet_monitor.h"
#include "core/command/external_command_file.h"
#include "fuzz_target.h"
#include "protocol/replies.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

void ReadEveryRow(const harlune::PacketList& list) {
  for (const harlune::PacketEntry& entry : list.Rows()) {
    for (const auto view : {harlune::PacketView::kTcp, harlune::PacketView::kUdp}) {
      Check(harlune::PacketRowTexts(view, entry).size() == harlune::PacketColumnCount(view));
      static_cast<void>(harlune::PacketCellText(view, 99, entry));
    }
    static_cast<void>(
        harlune::ExpandPacketMacros("%SrcAddr% %SrcPort% %DestAddr% %DestPort%", entry).Text());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t count = harlune::protocol::CaptureRecordCount(size);
  if (count > 1000) {
    return 0;  // far beyond a driver read
  }
  const std::uint8_t control = size > 0 ? data[0] : 0;
  harlune::IniFileObject settings;
  settings.MAX_PACKET_CAPTURE_NUM = control & 7;
  harlune::ExternalCommandIni commands("ExternalCommand.ini");
  harlune::PacketMonitor monitor(settings, commands, [] { return std::int64_t{0}; });
  const std::span<const std::uint8_t> batch(data, size);

  monitor.AddCapturedRecords(batch, (control & 8) != 0);
  if ((control & 16) != 0) {
    monitor.ClickFreezeBox(harlune::CheckState::kChecked);
  }
  monitor.AddCapturedRecords(batch, false);
  monitor.RedrawAll();
  monitor.ClickFreezeBox(harlune::CheckState::kUnchecked);

  const auto max = static_cast<std::size_t>(settings.MAX_PACKET_CAPTURE_NUM);
  for (std::size_t i = 0; i < monitor.ListCount(); ++i) {
    const harlune::PacketList& list = monitor.List(i);
    Check(list.LiveStore().size() <= max && list.Rows().size() <= max);
    ReadEveryRow(list);
  }
  Check(monitor.List(monitor.AllIndex()).NextSerial() == 2 * count + 1);
  return 0;
}
