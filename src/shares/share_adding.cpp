#include "shares/share_adding.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/directory.h"

namespace qc {

namespace {

// A copy number as a file manager writes it: decimal, no leading zero, not absurdly long.
constexpr std::size_t kMaxCopyNumberDigits = 6;

struct CopyName {
  std::string_view before;  // the folder and the file name's stem, " (k)" left out
  std::string_view after;   // the extension with its dot, or nothing
  int first = 2;            // the first number to try
};

// The number of a stem that ends in " (k)", k from 1; 0 when it does not.
int TrailingCopyNumber(std::string_view stem) {
  if (stem.size() < 4 || stem.back() != ')') return 0;
  const std::size_t open = stem.rfind(" (");
  if (open == std::string_view::npos) return 0;
  const std::string_view digits = stem.substr(open + 2, stem.size() - open - 3);
  if (digits.empty() || digits.size() > kMaxCopyNumberDigits || digits.front() == '0') return 0;
  int number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + (c - '0');
  }
  return number;
}

CopyName SplitForCopies(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
  const std::string_view name = path.substr(nameStart);
  std::size_t dot = name.rfind('.');
  // A leading dot names a hidden file (".profile") and a trailing one ends the name: no
  // extension in either case.
  if (dot == 0 || dot + 1 == name.size()) dot = std::string_view::npos;
  const std::size_t stemEnd = dot == std::string_view::npos ? path.size() : nameStart + dot;
  CopyName copy;
  copy.before = path.substr(0, stemEnd);
  copy.after = path.substr(stemEnd);
  const int counted = TrailingCopyNumber(path.substr(nameStart, stemEnd - nameStart));
  if (counted > 0) {
    copy.before = copy.before.substr(0, copy.before.rfind(" ("));
    copy.first = counted + 1;
  }
  return copy;
}

bool IsLive(const SharePtr& share) { return !share->IsWithdrawn(); }

}  // namespace

std::string NumberedVirtualPath(std::string_view virtualPath, int n) {
  const CopyName copy = SplitForCopies(virtualPath);
  std::string numbered(copy.before);
  numbered += " (";
  numbered += std::to_string(n);
  numbered += ')';
  numbered += copy.after;
  return numbered;
}

int FirstCopyNumber(std::string_view virtualPath) { return SplitForCopies(virtualPath).first; }

bool HoldsControlCharacter(std::string_view path) {
  return std::any_of(path.begin(), path.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

AddedShare AddShare(const StoredFiles& files, ShareRegistry& registry, std::string physicalPath,
                    std::string virtualPath, std::uint32_t flags, VirtualPathOrigin origin,
                    ShareStoring storing, const ShareLimits& limits) {
  AddedShare added;
  // Looked at before the lock: a slow disk holds no other share's addition up.
  const ShareKind kind = KindOfShare(physicalPath);
  std::lock_guard guard(registry.Lock());
  const std::vector<SharePtr> shares = registry.Snapshot();
  for (const SharePtr& share : shares) {
    if (IsLive(share) && platform::SamePath(share->physicalPath, physicalPath)) {
      added.share = share;
      added.outcome = ShareAddition::AlreadyShared;
      return added;
    }
  }
  const auto taken = [&shares](const std::string& path) {
    return std::any_of(shares.begin(), shares.end(), [&path](const SharePtr& share) {
      return IsLive(share) && share->virtualPath == path;
    });
  };
  if (taken(virtualPath)) {
    if (origin == VirtualPathOrigin::Typed) {
      added.outcome = ShareAddition::PathTaken;
      return added;
    }
    // At most one number per share is taken, so this ends within as many tries.
    int n = FirstCopyNumber(virtualPath);
    std::string candidate = NumberedVirtualPath(virtualPath, n);
    while (taken(candidate)) candidate = NumberedVirtualPath(virtualPath, ++n);
    virtualPath = std::move(candidate);
    added.outcome = ShareAddition::Renamed;
  }
  // Whatever still holds the path now is withdrawn: it gives way.
  for (const SharePtr& share : shares) {
    if (share->virtualPath != virtualPath) continue;
    registry.RemoveShare(share);
    added.replacedWithdrawn = true;
  }
  added.share = registry.AppendShare(std::move(physicalPath), std::move(virtualPath), flags, kind);
  if (limits.Any()) added.share->SetLimits(limits);
  if (added.replacedWithdrawn) {
    // Appended, the record would come after the withdrawn one, which a restart would find
    // first; the whole file goes, without it (and with any Delete the panel has pending).
    added.written = RewriteShareFile(files, registry);
  } else if (storing == ShareStoring::AppendNow) {
    added.written = AppendShareRecord(files, *added.share);
  }
  return added;
}

AddedShare AddAndStoreShare(const StoredFiles& files, ShareRegistry& registry,
                            const ServerSettings& settings, std::string physicalPath,
                            std::string virtualPath, const ShareLimits& limits) {
  const std::uint32_t flags =
      (settings.flags & kNewSharesOneShot) != 0 ? std::uint32_t{kOneShot} : 0u;
  return AddShare(files, registry, std::move(physicalPath), std::move(virtualPath), flags,
                  VirtualPathOrigin::Generated, ShareStoring::AppendNow, limits);
}

}  // namespace qc
