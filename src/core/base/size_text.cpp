#include "core/base/size_text.h"

#include "core/base/c_format.h"

namespace harlune {

std::string SizeText(std::uint64_t bytes) {
  constexpr double kKiB = 1024.0;
  constexpr double kMiB = kKiB * 1024.0;
  constexpr double kGiB = kMiB * 1024.0;
  const double value = static_cast<double>(bytes);
  if (value / kGiB > 1.0) {
    return CFormat("%.2f GB", value / kGiB);
  }
  if (value / kMiB > 1.0) {
    return CFormat("%.2f MB", value / kMiB);
  }
  return CFormat("%.1f KB", value / kKiB);
}

}  // namespace harlune
