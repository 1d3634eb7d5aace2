#pragma once
// What start-up prints on standard output, so that whoever reads a service's journal knows what
// the driver took from its INI file: which file it read (or that there was none, and every
// setting is its default), the receiver's port and its device, each server link with its address,
// and where the spool files go; and what in the file it could not use.

#include <ostream>
#include <string>
#include <vector>

#include "app/settings.h"

namespace drvnt {

struct StartupFacts {
  std::string iniPath;
  bool iniFound = false;
  Settings settings;
  ServerHostSettings v8;
  std::string portDevice;  // the device ComPort opens; empty when none is chosen
  std::string directory;   // the startup directory, which a relative spool prefix starts from
};

std::vector<std::string> StartupSummary(const StartupFacts& facts);

// The summary of what start-up read, on `out`, and one warning line per problem of the file
// (CheckSettings) on `err`.
void PrintStartupReport(const IniFile& file, const IniProfile& ini, const Settings& settings,
                        const std::string& directory, std::ostream& out, std::ostream& err);

}  // namespace drvnt
