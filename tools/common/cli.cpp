#include "common/cli.h"

#include <charconv>
#include <csignal>
#include <cstdio>
#include <iostream>

namespace drvnt::sim {

CommandLine::CommandLine(std::vector<OptionRule> rules) : rules_(std::move(rules)) {}

const OptionRule* CommandLine::Find(std::string_view name) const {
  for (const OptionRule& s : rules_) {
    if (s.name == name)
      return &s;
  }
  return nullptr;
}

void CommandLine::Parse(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
      throw UsageError("unexpected argument " + arg + " (see --help)");
    }
    const std::size_t eq = arg.find('=');
    const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
    const OptionRule* rule = Find(name);
    if (rule == nullptr)
      throw UsageError("unknown option --" + name + " (see --help)");
    if (rule->valueName.empty()) {
      if (eq != std::string::npos)
        throw UsageError("option --" + name + " takes no value");
      values_[name] = "";
    } else if (eq != std::string::npos) {
      values_[name] = arg.substr(eq + 1);
    } else if (i + 1 < args.size()) {
      values_[name] = args[++i];
    } else {
      throw UsageError("option --" + name + " needs a value " + rule->valueName);
    }
  }
}

bool CommandLine::Has(std::string_view name) const {
  return values_.find(name) != values_.end();
}

std::string CommandLine::Text(std::string_view name, std::string_view fallback) const {
  const auto it = values_.find(name);
  return it == values_.end() ? std::string(fallback) : it->second;
}

std::int64_t CommandLine::Int(std::string_view name, std::int64_t fallback, std::int64_t min,
                              std::int64_t max) const {
  const auto it = values_.find(name);
  if (it == values_.end())
    return fallback;
  const std::string& text = it->second;
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < min ||
      value > max) {
    throw UsageError("bad value \"" + text + "\" for --" + std::string(name) +
                     " (a whole number from " + std::to_string(min) + " to " + std::to_string(max) +
                     ")");
  }
  return value;
}

std::string CommandLine::OptionsHelp() const {
  std::string out;
  for (const OptionRule& s : rules_) {
    std::string left = "  --" + s.name + (s.valueName.empty() ? "" : " " + s.valueName);
    if (left.size() < 26)
      left.resize(26, ' ');
    out += left + " " + s.help + "\n";
  }
  return out;
}

int RunTool(std::string_view program, std::string_view usage, int argc, char** argv,
            const std::function<int(const std::vector<std::string>&)>& body) {
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::cout << usage << std::flush;
      return 0;
    }
  }
  try {
    return body(args);
  } catch (const UsageError& e) {
    std::cerr << program << ": " << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << program << ": " << e.what() << "\n";
    return 1;
  }
}

}  // namespace drvnt::sim
