#include "core/base/profile_file.h"

#include <algorithm>
#include <utility>

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

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
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

ProfileParseResult ProfileFile::Parse(std::string_view cp932) {
  ProfileFile document;
  std::size_t lineNumber = 0;
  std::size_t start = 0;
  while (start < cp932.size()) {
    std::size_t end = cp932.find('\n', start);
    const std::size_t next = end == cp932.npos ? cp932.size() : end + 1;
    end = std::min(end, cp932.size());
    std::string_view bytes = cp932.substr(start, end - start);
    if (bytes.ends_with('\r')) {
      bytes.remove_suffix(1);
    }
    ++lineNumber;
    std::string text;
    try {
      text = Cp932ToUtf8(bytes);
    } catch (const TextEncodingError& error) {
      return {std::nullopt, lineNumber,
              "line " + std::to_string(lineNumber) + ": the byte at column " +
                  std::to_string(error.offset() + 1) + " is not CP932 text"};
    }
    Line line = ReadLine(std::string(bytes), std::move(text));
    if (line.kind == LineKind::kSection) {
      document.blocks_.push_back(Block{std::move(line), {}});
    } else {
      document.blocks_.back().lines.push_back(std::move(line));
    }
    start = next;
  }
  return {std::move(document), 0, {}};
}

std::vector<const ProfileFile::Block*> ProfileFile::FindBlocks(std::string_view section) const {
  std::vector<const Block*> found;
  for (const Block& block : blocks_) {
    if (block.header && SameName(block.header->name, section)) {
      found.push_back(&block);
    }
  }
  return found;
}

ProfileFile::Block* ProfileFile::FirstBlock(std::string_view section) {
  const auto found = std::ranges::find_if(blocks_, [section](const Block& block) {
    return block.header && SameName(block.header->name, section);
  });
  return found == blocks_.end() ? nullptr : &*found;
}

std::vector<std::string> ProfileFile::SectionNames() const {
  std::vector<std::string> names;
  for (const Block& block : blocks_) {
    if (!block.header) {
      continue;
    }
    const std::string& name = block.header->name;
    if (std::ranges::none_of(names,
                             [&name](const std::string& seen) { return SameName(seen, name); })) {
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
      if (line.kind == LineKind::kKey && SameName(line.name, key)) {
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
  std::string headerBytes;
  std::string lineBytes;
  try {
    headerBytes = Utf8ToCp932(headerText);
    lineBytes = Utf8ToCp932(lineText);
  } catch (const TextEncodingError& error) {
    return {"[" + std::string(section) + "] " + std::string(key) +
            " cannot be written in CP932: " + error.what()};
  }
  Line line = ReadLine(std::move(lineBytes), lineText);

  for (Block& block : blocks_) {
    if (!block.header || !SameName(block.header->name, section)) {
      continue;
    }
    for (Line& existing : block.lines) {
      if (existing.kind == LineKind::kKey && SameName(existing.name, key)) {
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
  Block added{ReadLine(std::move(headerBytes), headerText), {}};
  added.lines.push_back(std::move(line));
  blocks_.push_back(std::move(added));
  return {};
}

bool ProfileFile::DeleteKey(std::string_view section, std::string_view key) {
  std::size_t removed = 0;
  for (Block& block : blocks_) {
    if (block.header && SameName(block.header->name, section)) {
      removed += std::erase_if(block.lines, [key](const Line& line) {
        return line.kind == LineKind::kKey && SameName(line.name, key);
      });
    }
  }
  return removed > 0;
}

bool ProfileFile::DeleteSection(std::string_view section) {
  return std::erase_if(blocks_, [section](const Block& block) {
           return block.header && SameName(block.header->name, section);
         }) > 0;
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

ProfileLoadResult LoadProfileFile(const std::filesystem::path& path) {
  FileReadResult read = ReadFileBytes(path);
  if (read.status == FileReadStatus::kMissing) {
    return {ProfileLoadStatus::kMissing, {}, path.string() + ": there is no such file"};
  }
  if (read.status == FileReadStatus::kFailed) {
    return {ProfileLoadStatus::kUnreadable, {}, std::move(read.error)};
  }
  ProfileParseResult parsed = ProfileFile::Parse(read.bytes);
  if (!parsed.file) {
    return {ProfileLoadStatus::kDamaged, {}, path.string() + ": " + parsed.error};
  }
  return {ProfileLoadStatus::kLoaded, std::move(*parsed.file), {}};
}

}  // namespace harlune
