#pragma once

// The one way the core talks to the user: message boxes and questions. The
// Qt front end shows them; the headless one writes a line to standard error.

#include <string_view>

namespace harlune {

class UserDialogs {
 public:
  virtual ~UserDialogs() = default;

  // A message box with an OK button; returns when the user closed it.
  virtual void ShowMessage(std::string_view text) = 0;
};

}  // namespace harlune
