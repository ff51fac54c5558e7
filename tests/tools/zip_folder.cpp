// Writes the archive a folder share sends to a file, through the same call that serves its
// ranges, so that checkers written by others (unzip, Python's zipfile, bsdtar) can judge
// it. Built natively and for Windows.
//
//   zip_folder FOLDER OUT [--pieces N]   the archive into OUT; with --pieces, as N ranges
//                                        of about equal length, each with a new CRC cache
//                                        (a restart between every two), last piece first
//   zip_folder FOLDER --info             size, tag, entries, Zip64, newest time, left out
//   zip_folder FOLDER --bench [N]        times: the listing and the layout (best of N), the
//                                        archive sent to a sink that keeps nothing with a
//                                        cold CRC cache and with a warm one, and the same
//                                        files read plainly
//
// Runs of zeros are skipped with a seek rather than written, so the archive of a large
// sparse file stays sparse. Exit status: 0 done, 1 the send failed, 2 bad use.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/folder_listing.h"
#include "shares/zip_archive.h"

namespace {

using qc::ArchiveSendOutcome;
using qc::ArchiveSendResult;

constexpr std::size_t kBlock = 64 * 1024;

int SeekTo(std::FILE* file, std::int64_t offset, int whence = SEEK_SET) {
#ifdef _WIN32
  return _fseeki64(file, offset, whence);
#else
  return fseeko(file, offset, whence);
#endif
}

std::int64_t Position(std::FILE* file) {
#ifdef _WIN32
  return _ftelli64(file);
#else
  return ftello(file);
#endif
}

long long ReadFileInto(qc::platform::File& file, std::int64_t offset, std::int64_t count,
                       const std::function<bool(const char*, std::size_t)>& take) {
  if (count <= 0 || !file.Seek(offset)) return 0;
  std::vector<char> buffer(static_cast<std::size_t>(std::min<std::int64_t>(count, 1 << 20)));
  long long done = 0;
  while (done < count) {
    const auto n =
        static_cast<std::size_t>(std::min<std::int64_t>(count - done, std::int64_t{1} << 20));
    const long long got = file.Read(buffer.data(), n);
    if (got <= 0 || !take(buffer.data(), static_cast<std::size_t>(got))) break;
    done += got;
    if (static_cast<std::size_t>(got) < n) break;
  }
  return done;
}

// Writes at the archive offset it is told, leaving holes where the bytes are zeros.
class SparseFileSink : public qc::ArchiveSink {
 public:
  explicit SparseFileSink(std::FILE* out) : out_(out) {}

  void MoveTo(std::int64_t offset) { at_ = offset; }

  long long SendAll(const char* data, long long count) override {
    return Write(data, static_cast<std::size_t>(count)) ? count : -1;
  }
  long long SendFileRange(qc::platform::File& file, std::int64_t offset,
                          std::int64_t count) override {
    return ReadFileInto(file, offset, count,
                        [this](const char* data, std::size_t n) { return Write(data, n); });
  }

 private:
  bool Write(const char* data, std::size_t size) {
    static const char zeros[kBlock] = {};
    for (std::size_t done = 0; done < size;) {
      const std::size_t n = std::min(kBlock, size - done);
      if (std::memcmp(data + done, zeros, n) != 0) {
        if (SeekTo(out_, at_) != 0 || std::fwrite(data + done, 1, n, out_) != n) {
          return false;
        }
      }
      at_ += static_cast<std::int64_t>(n);
      done += n;
    }
    return true;
  }

  std::FILE* out_;
  std::int64_t at_ = 0;
};

class DiscardingSink : public qc::ArchiveSink {
 public:
  long long SendAll(const char*, long long count) override { return count; }
  long long SendFileRange(qc::platform::File& file, std::int64_t offset,
                          std::int64_t count) override {
    return ReadFileInto(file, offset, count, [](const char*, std::size_t) { return true; });
  }
};

const char* OutcomeName(ArchiveSendOutcome outcome) {
  switch (outcome) {
    case ArchiveSendOutcome::Sent:
      return "sent";
    case ArchiveSendOutcome::SinkFailed:
      return "sink failed";
    case ArchiveSendOutcome::EntryChanged:
      return "entry changed";
    case ArchiveSendOutcome::BadRange:
      return "bad range";
  }
  return "?";
}

bool Report(const ArchiveSendResult& result) {
  if (result.outcome == ArchiveSendOutcome::Sent) return true;
  std::fprintf(stderr, "zip_folder: %s after %lld bytes%s%s\n", OutcomeName(result.outcome),
               result.sent, result.changedEntry.empty() ? "" : ": ", result.changedEntry.c_str());
  return false;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

int Write(const qc::ZipArchive& archive, const char* outPath, int pieces) {
  std::FILE* out = std::fopen(outPath, "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "zip_folder: cannot create %s\n", outPath);
    return 2;
  }
  SparseFileSink sink(out);
  const std::int64_t size = archive.Size();
  const std::int64_t piece = std::max<std::int64_t>(1, (size + pieces - 1) / pieces);
  bool ok = true;
  for (int i = pieces - 1; ok && i >= 0; --i) {
    const std::int64_t first = std::min(size, piece * i);
    const std::int64_t count = std::min(size, first + piece) - first;
    if (count <= 0) continue;
    qc::CrcCache crcs;
    sink.MoveTo(first);
    ok = Report(archive.Send(sink, first, count, crcs));
  }
  // The length, also when the archive ends in skipped zeros.
  if (ok && SeekTo(out, 0, SEEK_END) == 0 && Position(out) < size) {
    const char last = 0;
    ok = SeekTo(out, size - 1) == 0 && std::fwrite(&last, 1, 1, out) == 1;
  }
  return std::fclose(out) == 0 && ok ? 0 : 1;
}

int Bench(const std::string& folder, int rounds) {
  double listSeconds = 1e9;
  double layoutSeconds = 1e9;
  std::unique_ptr<qc::ZipArchive> archive;
  std::optional<qc::platform::FolderListing> listing;
  for (int i = 0; i < rounds; ++i) {
    auto started = std::chrono::steady_clock::now();
    listing = qc::platform::ListFolder(folder);
    listSeconds = std::min(listSeconds, Seconds(started));
    if (!listing) return 1;
    started = std::chrono::steady_clock::now();
    archive = std::make_unique<qc::ZipArchive>(*listing);
    layoutSeconds = std::min(layoutSeconds, Seconds(started));
  }
  std::printf("entries %zu\nlisting_seconds %.4f\nlayout_seconds %.4f\n", listing->entries.size(),
              listSeconds, layoutSeconds);
  DiscardingSink sink;
  qc::CrcCache crcs;
  auto started = std::chrono::steady_clock::now();
  if (!Report(archive->Send(sink, 0, archive->Size(), crcs))) return 1;
  const double cold = Seconds(started);
  started = std::chrono::steady_clock::now();
  if (!Report(archive->Send(sink, 0, archive->Size(), crcs))) return 1;
  const double warm = Seconds(started);
  std::int64_t fileBytes = 0;
  started = std::chrono::steady_clock::now();
  for (const qc::platform::FolderEntry& entry : listing->entries) {
    if (entry.isFolder) continue;
    qc::platform::File file = qc::platform::File::OpenSharedReadListed(listing->root, entry.path);
    fileBytes += sink.SendFileRange(file, 0, entry.version.size);
  }
  const double plain = Seconds(started);
  const double mb = static_cast<double>(archive->Size()) / 1e6;
  std::printf("archive_bytes %lld\nfile_bytes %lld\n", static_cast<long long>(archive->Size()),
              static_cast<long long>(fileBytes));
  std::printf("cold_seconds %.4f\ncold_mb_per_s %.1f\n", cold, mb / cold);
  std::printf("warm_seconds %.4f\nwarm_mb_per_s %.1f\n", warm, mb / warm);
  std::printf("plain_read_seconds %.4f\nplain_read_mb_per_s %.1f\n", plain,
              static_cast<double>(fileBytes) / 1e6 / plain);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: zip_folder FOLDER OUT [--pieces N] | --info | --bench [N]\n");
    return 2;
  }
  const std::string folder = argv[1];
  const std::string second = argv[2];
  if (second == "--bench") return Bench(folder, argc > 3 ? std::atoi(argv[3]) : 3);
  const std::optional<qc::platform::FolderListing> listing = qc::platform::ListFolder(folder);
  if (!listing) {
    std::fprintf(stderr, "zip_folder: cannot list %s\n", folder.c_str());
    return 1;
  }
  const qc::ZipArchive archive(*listing);
  if (second == "--info") {
    std::printf("size %lld\ntag %s\nentries %zu\nzip64 %d\nnewest %lld\nname %s\n",
                static_cast<long long>(archive.Size()), archive.EntityTag().c_str(),
                archive.EntryCount(), archive.UsesZip64() ? 1 : 0,
                static_cast<long long>(archive.NewestModifiedSeconds()), listing->name.c_str());
    for (const std::string& path : listing->leftOut) std::printf("left_out %s\n", path.c_str());
    for (const std::string& path : archive.LeftOut()) std::printf("left_out %s\n", path.c_str());
    return 0;
  }
  int pieces = 1;
  if (argc > 4 && std::strcmp(argv[3], "--pieces") == 0) pieces = std::max(1, std::atoi(argv[4]));
  return Write(archive, second.c_str(), pieces);
}
