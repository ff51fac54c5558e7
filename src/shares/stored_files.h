// Where the two stored files live. The server decides it once, at start, from the
// directory it started in, and hands it to every load and save: a later change of the
// current directory (a file dialog's, a test's) moves neither file.
#pragma once
#include <string>
#include <utility>

#include "platform/file.h"
#include "platform/native_types.h"

namespace qc {

inline constexpr char kSettingsFileName[] = "common.cfg";
inline constexpr char kSharesFileName[] = "shared.cfg";
inline constexpr char kDownloadsFileName[] = "downloads.cfg";
inline constexpr char kDefaultsFileName[] = "newshares.cfg";

struct StoredFiles {
  std::string directory;  // the start-up directory; empty: the current one, at each open
  std::string settingsName = kSettingsFileName;
  std::string sharesName = kSharesFileName;
  std::string downloadsName = kDownloadsFileName;
  std::string defaultsName = kDefaultsFileName;
  // What the disk does to the saves and appends: nothing in production, a test's faults.
  platform::DiskFaults faults;

  // The files of `directory`.
  static StoredFiles In(std::string directory) {
    StoredFiles files;
    files.directory = std::move(directory);
    return files;
  }
  std::string Settings() const { return PathOf(settingsName); }
  std::string Shares() const { return PathOf(sharesName); }
  std::string Downloads() const { return PathOf(downloadsName); }
  std::string Defaults() const { return PathOf(defaultsName); }
  // `name` in the directory, for the files kept beside the two.
  std::string PathOf(const std::string& name) const {
    if (directory.empty()) return name;
    std::string path = directory;
    // A drive's or the file system's root already ends in a separator ("C:\", "/").
    if (path.back() != platform::kPathSeparator) path.push_back(platform::kPathSeparator);
    return path + name;
  }
};

}  // namespace qc
