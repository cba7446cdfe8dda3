#pragma once

// A settings file in the Windows profile (INI) form, held in memory: the
// documents GeneralSetting.ini, ConnectionControlRule.ini and
// ExternalCommand.ini are read and written through it so that they stay
// exchangeable with a Windows build.
//
// The file is CP932 with CRLF (LF alone is read too); the text is UTF-8
// inside. It reads the way the Windows profile functions read:
// - "[Name]" starts a section; blanks around the name are dropped and text
//   after the "]" is ignored.
// - "key=value" is a key; key and value lose their surrounding blanks and the
//   value runs to the end of the line, commas and further "=" included.
// - Section and key names match without regard to ASCII case.
// - The first occurrence of a key wins when one key is read; a section read
//   returns every key line in file order, repeats included. Two sections of
//   the same name read as one, in file order.
// Lines before the first section, blank lines, comment lines (starting with
// ";"), lines without "=" and lines starting with "[" that lack the "]" are
// not keys; they are kept when the document is written back. Every line that
// no change touched is written back with its original bytes.
//
// A file is read as CP932 or as UTF-8 as DetectFileTextEncoding decides (a
// file an editor on Linux wrote is UTF-8). A line that decodes in neither
// reads as no key (a section line as a section no name finds) and is written
// back with its bytes; every other line reads. Lines read as UTF-8 are written
// back in CP932 when every character fits and keep their UTF-8 otherwise
// (UnconvertibleKeys names them). Text that cannot be stored (not CP932, line
// breaks, blanks that reading would strip) is refused when it is written,
// with the reason.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/text_encoding.h"

namespace harlune {

struct ProfileEntry {
  std::string key;
  std::string value;

  friend bool operator==(const ProfileEntry&, const ProfileEntry&) = default;
};

// The outcome of a change of the document: empty `error` when it was made.
struct [[nodiscard]] ProfileWriteResult {
  std::string error;

  bool ok() const { return error.empty(); }
};

struct ProfileParseResult;

// A key (or, with an empty key, a section line) of the document.
struct ProfileKeyName {
  std::string section;
  std::string key;

  friend bool operator==(const ProfileKeyName&, const ProfileKeyName&) = default;
};

class ProfileFile {
 public:
  // Reads a whole file's bytes.
  static ProfileParseResult Parse(std::string_view cp932);

  // Names of the sections in file order, each name once (as first spelt).
  std::vector<std::string> SectionNames() const;

  bool HasSection(std::string_view section) const;

  // The key lines of a section in file order; empty when there is none.
  std::vector<ProfileEntry> Section(std::string_view section) const;

  // The value of the first occurrence of the key, exactly as stored.
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;

  // The value as the Windows string reader gives it: a value enclosed in a
  // pair of matching double or single quotes loses them; `defaultValue`
  // when the key is absent.
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view defaultValue) const;

  // Replaces the value of the key's first occurrence in place (the line
  // becomes "key=value" in the spelling given), or adds the line after the
  // last non-blank line of the section, or adds the section at the end.
  ProfileWriteResult WriteString(std::string_view section, std::string_view key,
                                 std::string_view value);

  // Removes every occurrence of the key; false when there was none.
  bool DeleteKey(std::string_view section, std::string_view key);

  // Removes the section (every section of that name) with all its lines;
  // false when there was none.
  bool DeleteSection(std::string_view section);

  // Every line of the document in order, as text without its line end.
  std::vector<std::string> Lines() const;

  // The file's bytes: CP932, every line ended by CRLF; lines that CP932
  // cannot hold keep the UTF-8 they were read in.
  std::string Serialize() const;

  // The keys and section lines that Serialize keeps in UTF-8 because CP932
  // lacks one of their characters, in file order: what the file cannot keep
  // for a program that reads it as CP932.
  std::vector<ProfileKeyName> UnconvertibleKeys() const;

 private:
  enum class LineKind { kOther, kSection, kKey };

  struct Line {
    std::string bytes;  // as read or as it will be written
    std::string text;   // UTF-8
    LineKind kind = LineKind::kOther;
    std::string name;          // section name or key
    std::string value;         // the value of a key
    bool undecodable = false;  // neither CP932 nor UTF-8: kept, never found
    bool keptInUtf8 = false;   // CP932 lacks a character of the text
  };

  struct Block {
    std::optional<Line> header;  // none for the lines before the first section
    std::vector<Line> lines;
  };

  static Line ReadLine(std::string bytes, std::string text);
  static Line ReadFileLine(std::string_view bytes, FileTextEncoding encoding);
  static Line UndecodableLine(std::string_view bytes);
  static bool Named(const Block& block, std::string_view section);
  std::vector<const Block*> FindBlocks(std::string_view section) const;
  Block* FirstBlock(std::string_view section);

  std::vector<Block> blocks_{Block{}};
};

struct ProfileParseResult {
  // Always set: no byte refuses the whole file. (Kept optional for the
  // callers that once had to handle a refused file.)
  std::optional<ProfileFile> file;
  std::vector<std::size_t> undecodableLines;  // 1-based, in order
  std::size_t errorLine = 0;                  // the first of them, 0 when none
  std::string error;                          // what is wrong with that line
};

enum class ProfileLoadStatus {
  kLoaded,
  kMissing,     // there is no such file
  kUnreadable,  // the file is there but could not be read
};

struct ProfileLoadResult {
  ProfileLoadStatus status = ProfileLoadStatus::kMissing;
  ProfileFile file;   // the document when loaded, otherwise empty
  std::string error;  // what went wrong, naming the file
};

ProfileLoadResult LoadProfileFile(const std::filesystem::path& path);

// Why a profile file could not store `value` as a key's value and give it
// back the same (a line break, blanks that reading strips, a character CP932
// lacks); empty when it can. Editors ask this before they accept a value.
std::string ProfileValueProblem(std::string_view value);

}  // namespace harlune
