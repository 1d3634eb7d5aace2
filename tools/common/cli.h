#pragma once
// Command-line options of the simulated peers: "--name value" or "--name=value", checked against
// a table of known options, with typed values. Every mistake becomes a UsageError whose text names
// the argument; RunTool turns it into one line on standard error and exit code 2.

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace drvnt::sim {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct OptionRule {
  std::string name;       // without the leading "--"
  std::string valueName;  // empty for a flag
  std::string help;
};

class CommandLine {
 public:
  explicit CommandLine(std::vector<OptionRule> rules);

  void Parse(const std::vector<std::string>& args);

  bool Has(std::string_view name) const;
  std::string Text(std::string_view name, std::string_view fallback) const;
  // A decimal whole number within [min, max]; the fallback when the option is absent.
  std::int64_t Int(std::string_view name, std::int64_t fallback, std::int64_t min,
                   std::int64_t max) const;

  // One line per option, for --help.
  std::string OptionsHelp() const;

 private:
  const OptionRule* Find(std::string_view name) const;

  std::vector<OptionRule> rules_;
  std::map<std::string, std::string, std::less<>> values_;
};

// Runs a tool's body with its arguments (program name left out). "--help" anywhere prints the
// usage text and exits 0; a UsageError exits 2 and any other error 1, each with one line
// "program: text" on standard error. Ignores SIGPIPE so that a vanished peer or reader becomes a
// failed write instead of the end of the process.
int RunTool(std::string_view program, std::string_view usage, int argc, char** argv,
            const std::function<int(const std::vector<std::string>&)>& body);

}  // namespace drvnt::sim
