#pragma once
// File operations of the driver: the spool directory (atomic writes, first match of a search,
// read, delete, setting a bad file aside), the raw log and the error log (append).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace drvnt {

struct FileError {
  std::string text;  // the system's text for the failure
};

class SpoolDir {
 public:
  virtual ~SpoolDir() = default;

  // Writes `data` as the whole file `path`: under a temporary name that no search matches, flushed
  // to the disk, then renamed into place, so readers never see a partial file. On failure nothing
  // is left under `path` or the temporary name, and the error is returned.
  virtual std::optional<FileError> WriteAtomically(const std::string& path,
                                                   std::span<const std::uint8_t> data) = 0;

  virtual bool Exists(const std::string& path) = 0;

  // The path of the first file that the directory listing yields for `pattern`, a path whose last
  // component may hold "*" wildcards ("spool/*.dd8", "spool/x*.ddk"). Stops at the first match:
  // the directory is neither listed in full nor sorted.
  virtual std::optional<std::string> FindFirst(const std::string& pattern) = 0;

  // At most `maxBytes` of the file.
  virtual std::optional<std::vector<std::uint8_t>> Read(const std::string& path,
                                                        std::size_t maxBytes, FileError* error) = 0;

  virtual bool Remove(const std::string& path) = 0;

  // Renames `path` to `path` + ".bad", which no search of the spool matches.
  virtual std::optional<FileError> SetAside(const std::string& path) = 0;
};

// The spool directory on this system's file system.
SpoolDir& SystemSpoolDir();

// Appends `data` to `path`, creating the file when it does not exist.
std::optional<FileError> AppendToFile(const std::string& path, std::span<const std::uint8_t> data);

// The whole file, or nothing when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Replaces the whole file atomically (temporary file, flush, rename).
std::optional<FileError> ReplaceFile(const std::string& path, std::string_view content);

bool PathExists(const std::string& path);

// The process's current directory.
std::string CurrentDirectory();

}  // namespace drvnt
