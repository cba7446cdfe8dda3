// Arbitrary text as the simulator's flows file; what reads back must
// serialise and read back the same.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz_target.h"
#include "passthru/daemon/flows_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const harlune::FlowsParseResult result = harlune::ParseFlowsFile(text);
  if (result.file) {
    const harlune::FlowsParseResult again =
        harlune::ParseFlowsFile(harlune::SerializeFlowsFile(*result.file));
    if (!again.file || !(*again.file == *result.file)) {
      std::abort();
    }
  }
  return 0;
}
