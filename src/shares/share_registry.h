// The in-memory list of published files, in order of addition, under the recursive lock
// "QuillcastConfigAccess". A Share is shared-owned: a download that found it keeps it
// alive, so deleting it in the control panel never frees memory still in use.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/named_lock.h"
#include "shares/running_downloads.h"
#include "shares/zip_archive.h"

namespace qc {

// Bits of Share::flags. Other bits read from "shared.cfg" are kept and written back.
enum ShareFlags : std::uint32_t {
  kOneShot = 1,    // withdrawn after its first full upload
  kWithdrawn = 2,  // uploaded to its end once; no longer served
};

// What a share's physical path names: a file, sent as it is, or a folder, sent as one zip
// archive of what it holds when the request comes. Decided when the share is loaded or
// added (KindOfShare), so that a file share whose file was replaced by a folder never
// starts sending that folder under the file's link.
enum class ShareKind { File, Folder };

// A share's completed downloads: answers that delivered its last byte with everything
// before it acknowledged by the client's system (the one-shot rule's test).
struct DownloadTally {
  std::uint64_t completed = 0;
  std::int64_t lastTime = 0;      // Unix seconds of the last one; 0: none yet
  std::uint32_t lastAddress = 0;  // its client's IPv4 address, host order
};

// What ends a share besides the one-shot flag: a number of completed downloads, a moment.
struct ShareLimits {
  std::uint64_t maxDownloads = 0;  // 0: no limit
  std::int64_t until = 0;          // Unix seconds; 0: no end
  bool Any() const { return maxDownloads != 0 || until != 0; }
};

struct Share {
  Share(std::string physical, std::string virtualPath_, std::uint32_t flags_,
        ShareKind kind = ShareKind::File)
      : virtualPath(std::move(virtualPath_)),
        physicalPath(std::move(physical)),
        flags(flags_),
        folderCrcs(kind == ShareKind::Folder ? std::make_unique<CrcCache>() : nullptr) {}
  const std::string virtualPath;
  const std::string physicalPath;
  std::atomic<std::uint32_t> flags;
  // A folder share's CRCs, shared by all its requests, so that a resumed or repeated
  // download reads no file again for them; none for a file share.
  const std::unique_ptr<CrcCache> folderCrcs;
  // Set while an answer holds a one-shot share's file (its first download is under way),
  // so that other requests are told to come back rather than that the link is gone.
  std::atomic<bool> downloading{false};

  bool IsWithdrawn() const { return (flags.load() & kWithdrawn) != 0; }
  DownloadTally Tally() const {
    std::lock_guard guard(downloadsMutex_);
    return tally_;
  }
  ShareLimits Limits() const {
    std::lock_guard guard(downloadsMutex_);
    return limits_;
  }
  // What the downloads file held for this share at start, or the command's limits.
  void Restore(const DownloadTally& tally, const ShareLimits& limits) {
    std::lock_guard guard(downloadsMutex_);
    tally_ = tally;
    limits_ = limits;
  }
  void SetLimits(const ShareLimits& limits) {
    std::lock_guard guard(downloadsMutex_);
    limits_ = limits;
  }
  bool IsOneShot() const { return (flags.load() & kOneShot) != 0; }
  bool IsFolder() const { return folderCrcs != nullptr; }

 private:
  friend class ShareRegistry;
  mutable std::mutex downloadsMutex_;
  DownloadTally tally_;
  ShareLimits limits_;
};
using SharePtr = std::shared_ptr<Share>;

// What the one-shot rule decided when the last piece of an answer that reaches the end of
// the file was due.
enum class LastPieceClaim {
  NotClaimed,  // not counted (a link preview), or no longer the share at its path: send it
  Counted,     // a completed download, counted: send the piece
  Won,         // counted, and this answer withdrew the share (its limit): send the piece
  Lost,        // another answer withdrew it first and sent its own: leave the piece out
};

// The client and moment of a download whose last piece is due; `counts` is false for a
// link preview, which never counts.
struct DownloadEnd {
  std::int64_t now = 0;
  std::uint32_t address = 0;
  bool counts = true;
  std::int64_t size = 0;  // the whole file's (or archive's) size, for the notice
};

// Told of each counted download: the share, how it ended, and whether the share ends after
// a number of downloads (its count must then be stored before the download is reported
// done).
using DownloadListener =
    std::function<void(const Share& share, const DownloadEnd& end, bool limited)>;

class ShareRegistry {
 public:
  ShareRegistry();

  // The lock itself, for callers that hold it across several operations (the control
  // panel's save and drop). Recursive.
  platform::NamedLock& Lock() { return lock_; }

  SharePtr AppendShare(std::string physicalPath, std::string virtualPath, std::uint32_t flags,
                       ShareKind kind = ShareKind::File);
  void RemoveShare(const SharePtr& share);  // does nothing for null
  void ClearShares();
  // The oldest share whose virtual path equals `path` byte for byte, withdrawn or not.
  SharePtr FindShare(const std::string& path);
  // The count and the one-shot and download limits, when the last piece of an answer that
  // reaches the end of the file is due and everything before it was acknowledged.
  // `served` is the share the answer found; it is counted only while it is still the share
  // at `path` (one the panel deleted meanwhile is left alone). Counting and the check of
  // the limit (1 for a one-shot share) happen together under the share's own lock, so of
  // any number of answers at once exactly the limit's number are counted and the last of
  // them withdraws the share. The withdrawal listener (first) and the download listener
  // are called before this returns.
  LastPieceClaim ClaimLastPiece(const SharePtr& served, const std::string& path,
                                const DownloadEnd& end = {});
  // Withdraws `share` when its time is up at `now`, calling the withdrawal listener; true
  // when it is (or was already) withdrawn by its time: the request is answered 404.
  bool ExpireIfDue(const SharePtr& share, std::int64_t now);
  // Called on the winning thread, without the lock, after each withdrawal: the server
  // stores it there and then. Set before serving starts; empty means nothing is called.
  void SetWithdrawalListener(std::function<void()> listener);
  // Called after each counted download, without the lock: the server stores the counts and
  // tells the user.
  void SetDownloadListener(DownloadListener listener);
  // The share at 0-based position n, or null (negative, or past the end).
  SharePtr ShareAt(std::int32_t n);
  // All shares in registry order, taken under the lock.
  std::vector<SharePtr> Snapshot();
  std::size_t Count();
  // The answers sending a share's bytes now (the panel's progress).
  RunningDownloads& Running() { return running_; }

 private:
  platform::NamedLock lock_;
  std::vector<SharePtr> shares_;
  std::function<void()> withdrawalListener_;
  DownloadListener downloadListener_;
  RunningDownloads running_;
};

// A folder share when `physicalPath` names a folder now, else a file share (a missing file
// included: it may be about to be made).
ShareKind KindOfShare(const std::string& physicalPath);
// The kind of a share read back from shared.cfg, whose records hold no kind. What is on
// disk decides, as for a new share; a path that is missing is judged by its virtual path,
// so that a folder on a drive not plugged in yet at the start stays a folder share and
// serves its archive again when it comes back. Missing, it is a folder share when its
// virtual name is the one a folder share gets ("name.zip", or a copy "name (k).zip"), or
// ends in ".zip" while the physical name does not (a name typed for the archive); else a
// file share. A ".zip" typed for a missing file that is not one is taken for a folder:
// both answer 404 while the path is missing.
ShareKind KindOfStoredShare(const std::string& physicalPath, const std::string& virtualPath);

// The virtual path of a new share: default folder, "/", the file name after the physical
// path's last separator (platform::kPathSeparator: a backslash on Windows). Empty
// optional when there is no separator after the first byte: the caller tells the user
// the physical path is incorrect.
struct ServerSettings;
std::optional<std::string> MakeVirtualPath(const ServerSettings& settings,
                                           const std::string& physical);
// The virtual path of a new folder share: default folder, "/", the folder's name and ".zip",
// the archive it is sent as. Trailing separators are no part of the name; a drive's root is
// named by its letter ("C.zip"), the native "/" as "root.zip", as the archive's top folder
// is. None, as for a file, when the path has no separator after its first byte and is no
// root either.
std::optional<std::string> MakeFolderVirtualPath(const ServerSettings& settings,
                                                 const std::string& physical);
// `path` without the separators that end it ("/srv/photos/" is "/srv/photos"), a root left
// whole ("/", "C:\": "C:" alone names the drive's current folder).
std::string WithoutTrailingSeparators(std::string path);
// Position in `path` where the file name begins (after the last kPathSeparator; 0 if none).
std::size_t FileNameOf(const std::string& path);

}  // namespace qc
