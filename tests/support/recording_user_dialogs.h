#pragma once

// A UserDialogs that shows nothing and keeps every message in order.

#include <string>
#include <string_view>
#include <vector>

#include "core/base/user_dialogs.h"

namespace harlune {

class RecordingUserDialogs : public UserDialogs {
 public:
  void ShowMessage(std::string_view text) override { messages.emplace_back(text); }

  std::vector<std::string> messages;
};

}  // namespace harlune
