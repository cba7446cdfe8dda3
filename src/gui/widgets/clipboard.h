#pragma once

// Puts a text on the clipboard as plain text; an empty text changes nothing.
// Returns whether the text went to the clipboard.

#include <string_view>

namespace harlune {

bool CopyToClipboard(std::string_view text);

}  // namespace harlune
