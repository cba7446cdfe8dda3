#pragma once

// The size format of transfer counts (filter page, status bar, connection
// page): "%.2f GB" above 1 GiB, else "%.2f MB" above 1 MiB, else "%.1f KB".
// The comparisons are strict: exactly 1 GiB is "1024.00 MB" and exactly
// 1 MiB "1024.0 KB".

#include <cstdint>
#include <string>

namespace harlune {

std::string SizeText(std::uint64_t bytes);

}  // namespace harlune
