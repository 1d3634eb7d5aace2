#include "app/event_journal.h"

#include <iostream>

namespace drvnt {

JournalEntry EventJournal::Write(const std::string& prefix,
                                 std::optional<std::span<const std::uint8_t>> dd8,
                                 std::optional<std::span<const std::uint8_t>> ddk) {
  JournalEntry entry;
  if (dd8) {
    entry.dd8 = writer_.Write(prefix, "", ".dd8", *dd8, SpoolFlush::kWithTheFrame);
    entry.dd8Failed = !entry.dd8;
  }
  if (ddk && entry.Kept()) {
    entry.ddk = writer_.Write(prefix, "", ".ddk", *ddk, SpoolFlush::kWithTheFrame);
    entry.ddkFailed = !entry.ddk;
  } else if (ddk) {
    entry.ddkFailed = true;  // not tried: the frame is repeated anyway
  }
  if (!entry.Kept()) {
    Undo(entry);
    return entry;
  }
  if (!entry.dd8 && !entry.ddk)
    return entry;
  // Both files share the directory of the prefix: one flush makes both names last.
  const std::string& written = entry.dd8 ? *entry.dd8 : *entry.ddk;
  if (const auto error = dir_.SyncDirectoryOf(written)) {
    std::cerr << "spool: cannot flush the spool directory of " << written << ": " << error->text
              << "; the event's files might not survive a power cut" << std::endl;
    entry.dd8Failed = entry.dd8.has_value();
    entry.ddkFailed = entry.ddk.has_value();
    Undo(entry);
  }
  return entry;
}

void EventJournal::Undo(JournalEntry& entry) {
  for (std::optional<std::string>* file : {&entry.dd8, &entry.ddk}) {
    if (*file && !dir_.Remove(**file)) {
      std::cerr << "spool: cannot remove " << **file
                << " of an event that is not acknowledged; its server may get the event twice"
                << std::endl;
    }
    file->reset();
  }
}

}  // namespace drvnt
