#include "fake_mangle_table.h"

#include <algorithm>
#include <sstream>

namespace harlune::testing {
namespace {

constexpr const char* kBuiltInChains[] = {"PREROUTING", "INPUT", "FORWARD", "OUTPUT",
                                          "POSTROUTING"};

std::vector<std::string> Split(const std::string& line) {
  std::istringstream stream(line);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) {
    words.push_back(word);
  }
  return words;
}

bool Known(const FakeMangleTable::Table& table, const std::string& chain) {
  return std::find(std::begin(kBuiltInChains), std::end(kBuiltInChains), chain) !=
             std::end(kBuiltInChains) ||
         std::find(table.chains.begin(), table.chains.end(), chain) != table.chains.end();
}

// Where a rule inserted first in `chain` goes.
std::vector<std::string>::iterator FirstOf(FakeMangleTable::Table& table,
                                           const std::string& chain) {
  return std::find_if(table.rules.begin(), table.rules.end(),
                      [&](const std::string& rule) { return rule.starts_with(chain + " "); });
}

}  // namespace

std::string Joined(const std::vector<std::string>& words, std::size_t from) {
  std::string text;
  for (std::size_t i = from; i < words.size(); ++i) {
    text += (text.empty() ? "" : " ") + words[i];
  }
  return text;
}

FakeMangleTable::Table& FakeMangleTable::Of(const std::string& program) { return tables_[program]; }

std::size_t FakeMangleTable::CallsOf(std::string_view program) const {
  return static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(), [&](const auto& call) {
    return call.starts_with(std::string(program) + " ");
  }));
}

int FakeMangleTable::Apply(Table& table, const std::vector<std::string>& words) {
  if (words.size() < 2) {
    return 1;
  }
  const std::string& command = words[0];
  const std::string& chain = words[1];
  const bool insertAtOne = words.size() > 2 && words[2] == "1";
  const std::string rule = chain + " " + Joined(words, insertAtOne ? 3 : 2);
  const auto found = std::find(table.rules.begin(), table.rules.end(), rule);
  if (command == "-N") {
    if (Known(table, chain)) {
      return 1;
    }
    table.chains.push_back(chain);
    table.exists = true;
    return 0;
  }
  if (!Known(table, chain)) {
    return 1;
  }
  if (command == "-A") {
    table.rules.push_back(rule);
  } else if (command == "-I") {
    table.rules.insert(FirstOf(table, chain), rule);
  } else if (command == "-D" || command == "-C") {
    if (found == table.rules.end()) {
      return 1;
    }
    if (command == "-D") {
      table.rules.erase(found);
    }
  } else if (command == "-F") {
    std::erase_if(table.rules, [&](const std::string& r) { return r.starts_with(chain + " "); });
  } else if (command == "-X") {
    std::erase(table.chains, chain);
  } else if (command != "-S") {
    return 1;
  }
  return 0;
}

int FakeMangleTable::Run(const std::vector<std::string>& arguments) {
  calls.push_back(Joined(arguments));
  if (std::find(failing.begin(), failing.end(), arguments[0]) != failing.end()) {
    return 1;
  }
  // "iptables -w -t mangle ..."
  return Apply(Of(arguments[0]), std::vector<std::string>(arguments.begin() + 4, arguments.end()));
}

int FakeMangleTable::RunWithInput(const std::vector<std::string>& arguments,
                                  std::string_view input) {
  calls.push_back(Joined(arguments) + " << " + std::string(input));
  if (std::find(failing.begin(), failing.end(), arguments[0]) != failing.end()) {
    return 1;
  }
  if (restoreDoesNothing) {
    return 0;
  }
  // "iptables-restore" works on the table of "iptables".
  Table& table = Of(arguments[0].substr(0, arguments[0].find('-')));
  const Table before = table;
  std::istringstream lines{std::string(input)};
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(':')) {
      table.chains.push_back(Split(line.substr(1))[0]);
    } else if (line.starts_with('-') && Apply(table, Split(line)) != 0) {
      table = before;  // one transaction: all or nothing
      return 1;
    }
  }
  table.exists = true;
  return 0;
}

int FakeMangleTable::RunForOutput(const std::vector<std::string>& arguments, std::string& output) {
  calls.push_back(Joined(arguments));
  if (std::find(failing.begin(), failing.end(), arguments[0]) != failing.end()) {
    output = "Table `mangle' does not exist\n";
    return 1;
  }
  const Table& table = Of(arguments[0].substr(0, arguments[0].find('-')));
  if (!table.exists) {
    output = "Table `mangle' does not exist\n";
    return 1;
  }
  output = header + "\n*mangle\n";
  for (const char* chain : kBuiltInChains) {
    output += std::string(":") + chain + " ACCEPT [0:0]\n";
  }
  for (const std::string& chain : table.chains) {
    output += ":" + chain + " - [0:0]\n";
  }
  for (const std::string& rule : table.rules) {
    output += "-A " + rule + "\n";
  }
  output += "COMMIT\n";
  return 0;
}

}  // namespace harlune::testing
