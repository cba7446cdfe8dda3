#include "core/app/status_hints.h"

#include "core/htb/htb_manager.h"

namespace harlune {

std::string FilteringOffNote(bool filtering, std::size_t filterCount, bool htbClasses) {
  if (filtering || (filterCount == 0 && !htbClasses)) {
    return {};
  }
  const std::string what = filterCount > 0 && htbClasses ? "フィルタとHTBクラス"
                           : filterCount > 0             ? "フィルタ"
                                                         : "HTBクラス";
  return "フィルタリングが停止しているため、" + what +
         "は働いていません。「フィルタリングを開始する」で開始します。";
}

bool HasHtbClasses(const HTB_Manager& manager) {
  return !manager.SendTree().Root()->Children.empty() ||
         !manager.ReceiveTree().Root()->Children.empty();
}

}  // namespace harlune
