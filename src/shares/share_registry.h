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

namespace qc {

// Bits of Share::flags. Other bits read from "shared.cfg" are kept and written back.
enum ShareFlags : std::uint32_t {
  kOneShot = 1,    // withdrawn after its first full upload
  kWithdrawn = 2,  // uploaded to its end once; no longer served
};

struct Share {
  Share(std::string physical, std::string virtualPath_, std::uint32_t flags_)
      : virtualPath(std::move(virtualPath_)), physicalPath(std::move(physical)), flags(flags_) {}
  const std::string virtualPath;
  const std::string physicalPath;
  std::atomic<std::uint32_t> flags;
  // Set while an answer holds a one-shot share's file (its first download is under way),
  // so that other requests are told to come back rather than that the link is gone.
  std::atomic<bool> downloading{false};

  bool IsWithdrawn() const { return (flags.load() & kWithdrawn) != 0; }
  bool IsOneShot() const { return (flags.load() & kOneShot) != 0; }
};
using SharePtr = std::shared_ptr<Share>;

// What the one-shot rule decided when the last piece of an answer that reaches the end of
// the file was due.
enum class LastPieceClaim {
  NotClaimed,  // not a one-shot share, or no longer the share at its path: send the piece
  Won,         // this answer withdrew the share: send the piece
  Lost,        // another answer withdrew it first and sent its own: leave the piece out
};

class ShareRegistry {
 public:
  ShareRegistry();

  // The lock itself, for callers that hold it across several operations (the control
  // panel's save and drop). Recursive.
  platform::NamedLock& Lock() { return lock_; }

  SharePtr AppendShare(std::string physicalPath, std::string virtualPath, std::uint32_t flags);
  void RemoveShare(const SharePtr& share);  // does nothing for null
  void ClearShares();
  // The oldest share whose virtual path equals `path` byte for byte, withdrawn or not.
  SharePtr FindShare(const std::string& path);
  // The one-shot rule, when the last piece of an answer that reaches the end of the file is
  // due. `served` is the share the answer found; it is claimed only while it is still the
  // share at `path` (one the panel deleted meanwhile is left alone). The claim is one
  // compare-and-set of the flags, from OneShot without Withdrawn to both, so of any number
  // of answers at once exactly one wins. The winner calls the withdrawal listener before
  // this returns.
  LastPieceClaim ClaimLastPiece(const SharePtr& served, const std::string& path);
  // Called on the winning thread, without the lock, after each withdrawal: the server
  // stores it there and then. Set before serving starts; empty means nothing is called.
  void SetWithdrawalListener(std::function<void()> listener);
  // The share at 0-based position n, or null (negative, or past the end).
  SharePtr ShareAt(std::int32_t n);
  // All shares in registry order, taken under the lock.
  std::vector<SharePtr> Snapshot();
  std::size_t Count();

 private:
  platform::NamedLock lock_;
  std::vector<SharePtr> shares_;
  std::function<void()> withdrawalListener_;
};

// The virtual path of a new share: default folder, "/", the file name after the physical
// path's last separator (platform::kPathSeparator: a backslash on Windows). Empty
// optional when there is no separator after the first byte: the caller tells the user
// the physical path is incorrect.
struct ServerSettings;
std::optional<std::string> MakeVirtualPath(const ServerSettings& settings,
                                           const std::string& physical);
// Position in `path` where the file name begins (after the last kPathSeparator; 0 if none).
std::size_t FileNameOf(const std::string& path);

}  // namespace qc
