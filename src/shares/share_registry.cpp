#include "shares/share_registry.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <mutex>
#include <utility>

#include "platform/directory.h"
#include "shares/settings_file.h"

namespace qc {

namespace {
constexpr char kConfigLockName[] = "QuillcastConfigAccess";
}  // namespace

ShareRegistry::ShareRegistry() : lock_(kConfigLockName) {}

SharePtr ShareRegistry::AppendShare(std::string physicalPath, std::string virtualPath,
                                    std::uint32_t flags, ShareKind kind) {
  auto share =
      std::make_shared<Share>(std::move(physicalPath), std::move(virtualPath), flags, kind);
  std::lock_guard guard(lock_);
  shares_.push_back(share);
  return share;
}

void ShareRegistry::RemoveShare(const SharePtr& share) {
  if (!share) return;
  std::lock_guard guard(lock_);
  // Only this registry's reference goes; a download still holding the share keeps it alive.
  auto it = std::find(shares_.begin(), shares_.end(), share);
  if (it != shares_.end()) shares_.erase(it);
}

void ShareRegistry::ClearShares() {
  std::lock_guard guard(lock_);
  shares_.clear();
}

SharePtr ShareRegistry::FindShare(const std::string& path) {
  std::lock_guard guard(lock_);
  for (const SharePtr& share : shares_) {
    if (share->virtualPath == path) return share;
  }
  return nullptr;
}

LastPieceClaim ShareRegistry::ClaimLastPiece(const SharePtr& served, const std::string& path,
                                             const DownloadEnd& end) {
  if (!served || !end.counts) return LastPieceClaim::NotClaimed;
  if (FindShare(path) != served) return LastPieceClaim::NotClaimed;
  bool withdrew = false;
  bool limited = false;
  {
    std::lock_guard guard(served->downloadsMutex_);
    // A download under way when the share's time passed may finish, and counts.
    const std::int64_t until = served->limits_.until;
    const bool timeIsUp = until != 0 && end.now >= until;
    if (served->IsWithdrawn() && !timeIsUp) return LastPieceClaim::Lost;
    const std::uint64_t limit = served->IsOneShot() ? 1 : served->limits_.maxDownloads;
    if (limit != 0 && served->tally_.completed >= limit) return LastPieceClaim::Lost;
    limited = limit != 0;
    ++served->tally_.completed;
    served->tally_.lastTime = end.now;
    served->tally_.lastAddress = end.address;
    if (limit != 0 && served->tally_.completed >= limit && !served->IsWithdrawn()) {
      // The other bits stay as they were: a stored bit nobody knows is never lost.
      served->flags.fetch_or(kWithdrawn);
      withdrew = true;
    }
  }
  std::function<void()> withdrawal;
  DownloadListener download;
  {
    std::lock_guard guard(lock_);
    withdrawal = withdrawalListener_;
    download = downloadListener_;
  }
  // The withdrawal first: it is what keeps the link dead after a restart.
  if (withdrew && withdrawal) withdrawal();
  if (download) download(*served, end, limited);
  return withdrew ? LastPieceClaim::Won : LastPieceClaim::Counted;
}

bool ShareRegistry::ExpireIfDue(const SharePtr& share, std::int64_t now) {
  if (!share) return false;
  bool withdrew = false;
  {
    std::lock_guard guard(share->downloadsMutex_);
    if (share->limits_.until == 0 || now < share->limits_.until) return false;
    withdrew = (share->flags.fetch_or(kWithdrawn) & kWithdrawn) == 0;
  }
  if (withdrew) {
    std::function<void()> listener;
    {
      std::lock_guard guard(lock_);
      listener = withdrawalListener_;
    }
    if (listener) listener();
  }
  return true;
}

void ShareRegistry::SetWithdrawalListener(std::function<void()> listener) {
  std::lock_guard guard(lock_);
  withdrawalListener_ = std::move(listener);
}

void ShareRegistry::SetDownloadListener(DownloadListener listener) {
  std::lock_guard guard(lock_);
  downloadListener_ = std::move(listener);
}

SharePtr ShareRegistry::ShareAt(std::int32_t n) {
  std::lock_guard guard(lock_);
  if (n < 0 || static_cast<std::size_t>(n) >= shares_.size()) return nullptr;
  return shares_[static_cast<std::size_t>(n)];
}

std::vector<SharePtr> ShareRegistry::Snapshot() {
  std::lock_guard guard(lock_);
  return shares_;
}

std::size_t ShareRegistry::Count() {
  std::lock_guard guard(lock_);
  return shares_.size();
}

ShareKind KindOfShare(const std::string& physicalPath) {
  return platform::KindOfPath(physicalPath) == platform::PathKind::Folder ? ShareKind::Folder
                                                                          : ShareKind::File;
}

namespace {

bool EndsWithZip(std::string_view name) {
  constexpr std::string_view kZip = ".zip";
  if (name.size() <= kZip.size()) return false;
  const std::string_view tail = name.substr(name.size() - kZip.size());
  return std::equal(tail.begin(), tail.end(), kZip.begin(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == b;
  });
}

// "name (k).zip" for a k of digits with no leading zero: the numbered copy AddShare makes.
bool IsNumberedArchiveOf(std::string_view virtualName, std::string_view name) {
  constexpr std::string_view kOpen = " (";
  constexpr std::string_view kClose = ").zip";
  if (virtualName.size() < name.size() + kOpen.size() + 1 + kClose.size() ||
      virtualName.substr(0, name.size()) != name ||
      virtualName.substr(name.size(), kOpen.size()) != kOpen ||
      virtualName.substr(virtualName.size() - kClose.size()) != kClose) {
    return false;
  }
  const std::string_view digits = virtualName.substr(
      name.size() + kOpen.size(), virtualName.size() - name.size() - kOpen.size() - kClose.size());
  return digits.front() != '0' &&
         std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

ShareKind KindOfStoredShare(const std::string& physicalPath, const std::string& virtualPath) {
  switch (platform::KindOfPath(physicalPath)) {
    case platform::PathKind::Folder:
      return ShareKind::Folder;
    case platform::PathKind::Missing:
      break;
    default:
      return ShareKind::File;
  }
  const std::string_view virtualName =
      std::string_view(virtualPath).substr(virtualPath.rfind('/') + 1);
  if (!EndsWithZip(virtualName)) return ShareKind::File;
  // The name MakeFolderVirtualPath gives the folder, without the default folder and ".zip".
  const std::optional<std::string> archive = MakeFolderVirtualPath(ServerSettings{}, physicalPath);
  const std::string name = archive ? archive->substr(1, archive->size() - 5) : std::string();
  if (!name.empty() && (virtualName == name + ".zip" || IsNumberedArchiveOf(virtualName, name))) {
    return ShareKind::Folder;
  }
  const std::string physical = WithoutTrailingSeparators(physicalPath);
  return EndsWithZip(std::string_view(physical).substr(FileNameOf(physical))) ? ShareKind::File
                                                                              : ShareKind::Folder;
}

std::optional<std::string> MakeVirtualPath(const ServerSettings& settings,
                                           const std::string& physical) {
  const std::size_t separator = physical.rfind(platform::kPathSeparator);
  // A separator at index 0 leaves no directory to cut off ("\a.txt"): refused like none.
  if (separator == std::string::npos || separator < 1) return std::nullopt;
  std::string result;
  result.reserve(settings.defaultFolder.size() + physical.size() - separator);
  result.append(settings.defaultFolder);
  result.push_back('/');
  result.append(physical, separator + 1, std::string::npos);
  return result;
}

std::string WithoutTrailingSeparators(std::string path) {
  const auto isDriveRoot = [&path] { return path.size() == 3 && path[1] == ':'; };
  while (path.size() > 1 && path.back() == platform::kPathSeparator && !isDriveRoot()) {
    path.pop_back();
  }
  return path;
}

std::optional<std::string> MakeFolderVirtualPath(const ServerSettings& settings,
                                                 const std::string& physical) {
  const std::string folder = WithoutTrailingSeparators(physical);
  const std::size_t separator = folder.find_last_of(platform::kPathSeparator);
  if (separator == std::string::npos) return std::nullopt;
  std::string name = folder.substr(separator + 1);
  // A drive's root ("C:\") is named by its letter.
  if (name.empty() && separator == 2 && folder[1] == ':') name = folder.substr(0, 1);
  if (name.empty()) name = "root";
  std::string result = settings.defaultFolder;
  result.append("/").append(name).append(".zip");
  return result;
}

std::size_t FileNameOf(const std::string& path) {
  const std::size_t separator = path.rfind(platform::kPathSeparator);
  return separator == std::string::npos ? 0 : separator + 1;
}

}  // namespace qc
