#include "app/startup_report.h"

#include "platform/files.h"
#include "platform/serial_device.h"

namespace drvnt {
namespace {

std::string SpoolLine(const StartupFacts& f) {
  const std::string& prefix = f.settings.PathForSoob;
  std::string where = prefix.empty() || prefix.front() != '/' ? f.directory + "/" + prefix : prefix;
  return "spool: prefix \"" + prefix + "\", files " + where + "*.dd8 and " + where + "*.ddk";
}

}  // namespace

std::vector<std::string> StartupSummary(const StartupFacts& f) {
  const Settings& s = f.settings;
  std::vector<std::string> lines;
  lines.push_back(f.iniFound ? "settings: " + f.iniPath
                             : "settings: no " + f.iniPath + "; every setting has its default");
  lines.push_back(s.ComPort == kNoPortChosen
                      ? std::string("port: none chosen (ComPort=") + kNoPortChosen + ")"
                      : "port: " + s.ComPort + " on " +
                            (f.portDevice.empty() ? "no device" : f.portDevice));
  lines.push_back("V7 link: " + (s.SendV7 ? s.host + ":7788" : "off (SendV7=0)"));
  lines.push_back("V8 link: " +
                  (s.SendV8 ? f.v8.Address + ":" + std::to_string(f.v8.Port) : "off (SendV8=0)"));
  lines.push_back(SpoolLine(f));
  return lines;
}

void PrintStartupReport(const IniFile& file, const IniProfile& ini, const Settings& settings,
                        const std::string& directory, std::ostream& out, std::ostream& err) {
  StartupFacts facts;
  facts.iniPath = file.Path();
  facts.iniFound = PathExists(file.Path());
  facts.settings = settings;
  facts.v8 = ReadServerHostSettings(ini);
  if (settings.ComPort != kNoPortChosen) {
    facts.portDevice =
        SerialDevicePath("\\\\.\\" + settings.ComPort,
                         [&ini](std::string_view name) { return ini.Find("ComPorts", name); });
  }
  facts.directory = directory;
  for (const std::string& line : StartupSummary(facts))
    out << line << '\n';
  out.flush();
  for (const std::string& warning : CheckSettings(ini))
    err << "warning: " << file.Path() << ": " << warning << '\n';
  err.flush();
}

}  // namespace drvnt
