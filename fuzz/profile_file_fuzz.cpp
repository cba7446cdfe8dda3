// Arbitrary bytes as a settings file in the profile form: what parses must
// serialise to bytes that parse to the same document, and keep a key written
// into one of its sections.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/base/profile_file.h"
#include "fuzz_target.h"

namespace {

using harlune::ProfileFile;

bool SameContent(const ProfileFile& a, const ProfileFile& b) {
  if (a.SectionNames() != b.SectionNames() || a.Lines() != b.Lines()) {
    return false;
  }
  for (const std::string& name : a.SectionNames()) {
    if (a.Section(name) != b.Section(name)) {
      return false;
    }
  }
  return true;
}

ProfileFile Reparse(const ProfileFile& document) {
  harlune::ProfileParseResult again = ProfileFile::Parse(document.Serialize());
  if (!again.file) {
    __builtin_trap();  // what was written must read again
  }
  return std::move(*again.file);
}

void WriteIntoFirstSection(ProfileFile document) {
  const auto names = document.SectionNames();
  if (names.empty() || names.front().find_first_of("\r\n") != std::string::npos) {
    return;  // a name holding a line break cannot be written, by design
  }
  constexpr std::string_view kValue = "v,=1 ソ";
  if (!document.WriteString(names.front(), "FUZZ_KEY", kValue).ok()) {
    __builtin_trap();  // a section the file already has takes a plain key
  }
  const ProfileFile again = Reparse(document);
  if (again.Find(names.front(), "fuzz_key") != kValue || !SameContent(document, again)) {
    __builtin_trap();
  }
  document.DeleteSection(names.front());
  if (Reparse(document).HasSection(names.front())) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  harlune::ProfileParseResult parsed = ProfileFile::Parse(bytes);
  if (!parsed.file) {
    if (parsed.errorLine == 0 || parsed.error.empty()) {
      __builtin_trap();  // a refusal names its line
    }
    return 0;
  }
  const ProfileFile again = Reparse(*parsed.file);
  if (!SameContent(*parsed.file, again) || again.Serialize() != parsed.file->Serialize()) {
    __builtin_trap();
  }
  WriteIntoFirstSection(std::move(*parsed.file));
  return 0;
}
