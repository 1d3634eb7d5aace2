#pragma once
// File operations of the driver: the spool directory (atomic writes, first match of a search,
// read, delete, setting a bad file aside), the raw log and the error log (append).

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace drvnt {

struct FileError {
  std::string text;  // the system's text for the failure
};

// Whether a search passes over the file of this path.
using SkipFile = std::function<bool(const std::string& path)>;

class SpoolDir {
 public:
  virtual ~SpoolDir() = default;

  // Writes `data` as the whole file `path`: under a temporary name that no search matches, flushed
  // to the disk, then renamed into place, so readers never see a partial file. On failure nothing
  // is left under `path` or the temporary name, and the error is returned.
  virtual std::optional<FileError> WriteAtomically(const std::string& path,
                                                   std::span<const std::uint8_t> data) = 0;

  // As WriteAtomically, but the directory is not flushed: readers see the file at once, and its
  // name survives a power cut once SyncDirectoryOf has succeeded. The files of one event frame
  // share one directory flush. By default the same as WriteAtomically.
  virtual std::optional<FileError> WriteAtomicallyUnflushed(const std::string& path,
                                                            std::span<const std::uint8_t> data) {
    return WriteAtomically(path, data);
  }

  // Flushes the directory that holds `path` to the disk, so that the names written and removed
  // in it survive a power cut; the error when the system could not.
  virtual std::optional<FileError> SyncDirectoryOf(const std::string& path) {
    (void)path;
    return std::nullopt;
  }

  virtual bool Exists(const std::string& path) = 0;

  // Makes `dir` a directory, creating it and its missing parents; `created` tells whether anything
  // had to be created. An error when it cannot be made, or when something other than a directory
  // stands in its way. The system's file system unless a fake says otherwise.
  virtual std::optional<FileError> MakeDirectories(const std::string& dir, bool& created);

  // The path of the first file that the directory listing yields whose path is `prefix` followed
  // by a name matching `namePattern` ("*.dd8", "*_1.ddk"). The prefix is taken literally,
  // whatever characters it holds ("spool/", "sp\\", "/srv/x[1]/a"): only the name after it is a
  // pattern. Files whose path `skip` accepts are passed over. Stops at the first match: the
  // directory is neither listed in full nor sorted.
  virtual std::optional<std::string> FindFirst(const std::string& prefix,
                                               const std::string& namePattern,
                                               const SkipFile& skip = {}) = 0;

  // At most `maxBytes` of the file.
  virtual std::optional<std::vector<std::uint8_t>> Read(const std::string& path,
                                                        std::size_t maxBytes, FileError* error) = 0;

  virtual bool Remove(const std::string& path) = 0;

  // Renames `path` to `path` + ".bad", which no search of the spool matches. Fails, keeping both
  // files, when a file of that name is already there.
  virtual std::optional<FileError> SetAside(const std::string& path) = 0;
};

// Makes `dir` a directory on this system's file system, as SpoolDir::MakeDirectories says.
std::optional<FileError> MakeDirectoryPath(const std::string& dir, bool& created);

// The spool directory on this system's file system.
SpoolDir& SystemSpoolDir();

// Appends `data` to `path`, creating the file when it does not exist.
std::optional<FileError> AppendToFile(const std::string& path, std::span<const std::uint8_t> data);

// The whole file, or nothing when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Replaces the whole file atomically (temporary file, flush, rename).
std::optional<FileError> ReplaceFile(const std::string& path, std::string_view content);

bool PathExists(const std::string& path);

// What tells one state of a file from another without reading it: which file it is (a file
// replaced by a rename is another one), its size, and when its data and its entry last changed,
// to the nanosecond where the file system keeps them.
struct FileStamp {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modifiedNs = 0;
  std::int64_t changedNs = 0;
  bool operator==(const FileStamp&) const = default;
};

// Nothing when the file does not exist or cannot be examined.
std::optional<FileStamp> StampOf(const std::string& path);

// True when the file changed less than `windowNs` ago: the file system's time stamps are coarser
// than its writes, so a change within the same time-stamp tick could still follow unseen, and a
// stamp this recent cannot show that the file is unchanged.
bool IsRecentChange(const FileStamp& stamp, std::int64_t windowNs);

// The process's current directory.
std::string CurrentDirectory();

}  // namespace drvnt
