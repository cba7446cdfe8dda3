#include "core/base/profile_file.h"

#include <algorithm>
#include <utility>

#include "core/base/ascii_case.h"
#include "core/base/safe_file.h"
#include "core/base/text_encoding.h"

namespace harlune {
namespace {

// The blanks that reading strips around names and values.
constexpr std::string_view kBlanks = " \t\r\v\f";

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) {
    return {};
  }
  const std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != text.npos; }

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

// Why `text` could not be read back as the same name or value, if it could not.
std::string StorableProblem(std::string_view what, std::string_view text) {
  if (HasLineBreak(text)) {
    return std::string(what) + " " + Quoted(text) + " holds a line break";
  }
  if (Trim(text) != text) {
    return std::string(what) + " " + Quoted(text) +
           " starts or ends with a blank, which reading would drop";
  }
  return {};
}

std::string SectionProblem(std::string_view section) {
  if (section.find(']') != section.npos) {
    return "the section name " + Quoted(section) + " holds \"]\"";
  }
  return StorableProblem("the section name", section);
}

std::string KeyProblem(std::string_view key) {
  if (key.empty()) {
    return "the key name is empty";
  }
  if (key.find('=') != key.npos) {
    return "the key name " + Quoted(key) + " holds \"=\"";
  }
  if (key.front() == '[' || key.front() == ';') {
    return "the key name " + Quoted(key) + " would read as a section or a comment";
  }
  return StorableProblem("the key name", key);
}

// The line with every byte beyond ASCII shown as '?', for Lines().
std::string AsciiShadow(std::string_view bytes) {
  std::string text(bytes);
  std::ranges::replace_if(
      text, [](char c) { return static_cast<unsigned char>(c) >= 0x80; }, '?');
  return text;
}

}  // namespace

std::string ProfileValueProblem(std::string_view value) {
  if (std::string problem = StorableProblem("the value", value); !problem.empty()) {
    return problem;
  }
  try {
    (void)Cp932Length(value);
  } catch (const TextEncodingError& error) {
    return "the value " + Quoted(value) + " cannot be written in CP932: " + error.what();
  }
  return {};
}

ProfileFile::Line ProfileFile::ReadLine(std::string bytes, std::string text) {
  Line line;
  line.bytes = std::move(bytes);
  line.text = std::move(text);
  const std::string_view trimmed = Trim(line.text);
  if (trimmed.starts_with('[')) {
    const std::size_t close = trimmed.find(']');
    if (close != trimmed.npos) {
      line.kind = LineKind::kSection;
      line.name = Trim(trimmed.substr(1, close - 1));
    }
    return line;
  }
  if (trimmed.starts_with(';')) {
    return line;
  }
  const std::string_view whole = line.text;
  const std::size_t equals = whole.find('=');
  if (equals == whole.npos) {
    return line;
  }
  const std::string_view key = Trim(whole.substr(0, equals));
  if (key.empty()) {
    return line;
  }
  line.kind = LineKind::kKey;
  line.name = key;
  line.value = Trim(whole.substr(equals + 1));
  return line;
}

ProfileFile::Line ProfileFile::UndecodableLine(std::string_view bytes) {
  Line line = ReadLine(std::string(bytes), AsciiShadow(bytes));
  if (line.kind == LineKind::kKey) {
    line.kind = LineKind::kOther;  // its value cannot be told
  }
  line.undecodable = true;
  return line;
}

ProfileFile::Line ProfileFile::ReadFileLine(std::string_view bytes, FileTextEncoding encoding) {
  std::optional<std::string> text = DecodeFileLine(bytes, encoding);
  if (!text) {
    return UndecodableLine(bytes);
  }
  // A line read as CP932 (its text differs from its bytes) keeps its bytes;
  // one read as UTF-8 is written back in CP932 when it can be (ASCII comes
  // out as it went in).
  if (*text != bytes) {
    return ReadLine(std::string(bytes), std::move(*text));
  }
  EncodedFileLine encoded = EncodeFileLine(*text);
  Line line = ReadLine(std::move(encoded.bytes), std::move(*text));
  line.keptInUtf8 = encoded.keptInUtf8;
  return line;
}

ProfileParseResult ProfileFile::Parse(std::string_view fileBytes) {
  const FileTextEncoding encoding = DetectFileTextEncoding(fileBytes);
  const std::string_view content = WithoutUtf8Bom(fileBytes);
  ProfileParseResult result{ProfileFile{}, {}, 0, {}};
  ProfileFile& document = *result.file;
  std::size_t start = 0;
  std::size_t lineNumber = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    const std::size_t next = end == content.npos ? content.size() : end + 1;
    end = std::min(end, content.size());
    std::string_view bytes = content.substr(start, end - start);
    if (bytes.ends_with('\r')) {
      bytes.remove_suffix(1);
    }
    start = next;
    ++lineNumber;
    Line line = ReadFileLine(bytes, encoding);
    if (line.undecodable) {
      result.undecodableLines.push_back(lineNumber);
    }
    if (line.kind == LineKind::kSection) {
      document.blocks_.push_back(Block{std::move(line), {}});
    } else {
      document.blocks_.back().lines.push_back(std::move(line));
    }
  }
  if (!result.undecodableLines.empty()) {
    result.errorLine = result.undecodableLines.front();
    result.error = "line " + std::to_string(result.errorLine) +
                   " is neither CP932 nor UTF-8 text and reads as no key";
  }
  return result;
}

bool ProfileFile::Named(const Block& block, std::string_view section) {
  return block.header && !block.header->undecodable &&
         EqualIgnoringAsciiCase(block.header->name, section);
}

std::vector<const ProfileFile::Block*> ProfileFile::FindBlocks(std::string_view section) const {
  std::vector<const Block*> found;
  for (const Block& block : blocks_) {
    if (Named(block, section)) {
      found.push_back(&block);
    }
  }
  return found;
}

ProfileFile::Block* ProfileFile::FirstBlock(std::string_view section) {
  const auto found = std::ranges::find_if(
      blocks_, [section](const Block& block) { return Named(block, section); });
  return found == blocks_.end() ? nullptr : &*found;
}

std::vector<std::string> ProfileFile::SectionNames() const {
  std::vector<std::string> names;
  for (const Block& block : blocks_) {
    if (!block.header || block.header->undecodable) {
      continue;
    }
    const std::string& name = block.header->name;
    if (std::ranges::none_of(names, [&name](const std::string& seen) {
          return EqualIgnoringAsciiCase(seen, name);
        })) {
      names.push_back(name);
    }
  }
  return names;
}

bool ProfileFile::HasSection(std::string_view section) const {
  return !FindBlocks(section).empty();
}

std::vector<ProfileEntry> ProfileFile::Section(std::string_view section) const {
  std::vector<ProfileEntry> entries;
  for (const Block* block : FindBlocks(section)) {
    for (const Line& line : block->lines) {
      if (line.kind == LineKind::kKey) {
        entries.push_back({line.name, line.value});
      }
    }
  }
  return entries;
}

std::optional<std::string> ProfileFile::Find(std::string_view section, std::string_view key) const {
  for (const Block* block : FindBlocks(section)) {
    for (const Line& line : block->lines) {
      if (line.kind == LineKind::kKey && EqualIgnoringAsciiCase(line.name, key)) {
        return line.value;
      }
    }
  }
  return std::nullopt;
}

std::string ProfileFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue) const {
  const std::optional<std::string> value = Find(section, key);
  if (!value) {
    return std::string(defaultValue);
  }
  const std::string& text = *value;
  if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
      text.back() == text.front()) {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

ProfileWriteResult ProfileFile::WriteString(std::string_view section, std::string_view key,
                                            std::string_view value) {
  for (const std::string& problem :
       {SectionProblem(section), KeyProblem(key), StorableProblem("the value", value)}) {
    if (!problem.empty()) {
      return {problem};
    }
  }
  const std::string headerText = "[" + std::string(section) + "]";
  const std::string lineText = std::string(key) + "=" + std::string(value);
  try {
    (void)Utf8ToCp932(headerText);
    (void)Utf8ToCp932(lineText);
  } catch (const TextEncodingError& error) {
    return {"[" + std::string(section) + "] " + std::string(key) +
            " cannot be written in CP932: " + error.what()};
  }
  // The rare CP932 form that a reader would take for UTF-8 is written in
  // UTF-8, so that the line reads back the same.
  Line line = ReadLine(EncodeFileLine(lineText).bytes, lineText);

  for (Block& block : blocks_) {
    if (!Named(block, section)) {
      continue;
    }
    for (Line& existing : block.lines) {
      if (existing.kind == LineKind::kKey && EqualIgnoringAsciiCase(existing.name, key)) {
        existing = std::move(line);
        return {};
      }
    }
  }
  if (Block* block = FirstBlock(section)) {
    const auto lastFilled =
        std::ranges::find_if(block->lines.rbegin(), block->lines.rend(),
                             [](const Line& l) { return !Trim(l.text).empty(); });
    block->lines.insert(lastFilled.base(), std::move(line));
    return {};
  }
  Block added{ReadLine(EncodeFileLine(headerText).bytes, headerText), {}};
  added.lines.push_back(std::move(line));
  blocks_.push_back(std::move(added));
  return {};
}

bool ProfileFile::DeleteKey(std::string_view section, std::string_view key) {
  std::size_t removed = 0;
  for (Block& block : blocks_) {
    if (Named(block, section)) {
      removed += std::erase_if(block.lines, [key](const Line& line) {
        return line.kind == LineKind::kKey && EqualIgnoringAsciiCase(line.name, key);
      });
    }
  }
  return removed > 0;
}

bool ProfileFile::DeleteSection(std::string_view section) {
  return std::erase_if(blocks_, [section](const Block& block) { return Named(block, section); }) >
         0;
}

std::vector<std::string> ProfileFile::Lines() const {
  std::vector<std::string> lines;
  for (const Block& block : blocks_) {
    if (block.header) {
      lines.push_back(block.header->text);
    }
    for (const Line& line : block.lines) {
      lines.push_back(line.text);
    }
  }
  return lines;
}

std::string ProfileFile::Serialize() const {
  std::string bytes;
  const auto append = [&bytes](const Line& line) {
    bytes += line.bytes;
    bytes += "\r\n";
  };
  for (const Block& block : blocks_) {
    if (block.header) {
      append(*block.header);
    }
    std::ranges::for_each(block.lines, append);
  }
  return bytes;
}

std::vector<ProfileKeyName> ProfileFile::UnconvertibleKeys() const {
  std::vector<ProfileKeyName> keys;
  for (const Block& block : blocks_) {
    const std::string section = block.header ? block.header->name : std::string();
    if (block.header && block.header->keptInUtf8) {
      keys.push_back({section, {}});
    }
    for (const Line& line : block.lines) {
      if (line.keptInUtf8) {
        keys.push_back({section, line.kind == LineKind::kKey ? line.name : line.text});
      }
    }
  }
  return keys;
}

ProfileLoadResult LoadProfileFile(const std::filesystem::path& path) {
  FileReadResult read = ReadFileBytes(path);
  if (read.status == FileReadStatus::kMissing) {
    return {ProfileLoadStatus::kMissing, {}, path.string() + ": there is no such file"};
  }
  if (read.status == FileReadStatus::kFailed) {
    return {ProfileLoadStatus::kUnreadable, {}, std::move(read.error)};
  }
  return {ProfileLoadStatus::kLoaded, std::move(*ProfileFile::Parse(read.bytes).file), {}};
}

}  // namespace harlune
