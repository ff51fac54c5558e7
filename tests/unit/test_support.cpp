#include "unit/test_support.h"

#include <cstdio>
#include <mutex>
#include <random>

#include "unit/platform_support.h"

namespace qc::tests {

namespace {

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

unsigned long TestDirectoryOwner(std::string_view name) {
  const std::string_view prefix = kTestDirectoryPrefix;
  if (name.substr(0, prefix.size()) != prefix) return 0;
  name.remove_prefix(prefix.size());
  // Exactly three numbers: the names of older runs and of other tools (two numbers, or
  // words) are never taken for ours.
  std::string_view parts[3];
  for (int i = 0; i < 3; ++i) {
    const std::size_t dash = name.find('-');
    parts[i] = name.substr(0, dash);
    if (!AllDigits(parts[i]) || parts[i].size() > 10) return 0;
    if (i < 2 && dash == std::string_view::npos) return 0;
    if (i == 2 && dash != std::string_view::npos) return 0;
    name.remove_prefix(i < 2 ? dash + 1 : name.size());
  }
  return std::stoul(std::string(parts[0]));
}

int RemoveLeftoverTestDirectories(const std::filesystem::path& base) {
  int removed = 0;
  std::error_code error;
  std::vector<std::filesystem::path> leftovers;
  for (auto it = std::filesystem::directory_iterator(base, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const unsigned long owner = TestDirectoryOwner(it->path().filename().string());
    if (owner == 0 || owner == CurrentProcessId() || ProcessIsRunning(owner)) continue;
    leftovers.push_back(it->path());
  }
  for (const auto& path : leftovers) {
    std::error_code ignored;
    if (std::filesystem::remove_all(path, ignored) > 0 && !ignored) ++removed;
  }
  return removed;
}

ScopedTempDirectory::ScopedTempDirectory() : previous_(std::filesystem::current_path()) {
  static std::once_flag swept;
  static std::atomic<unsigned> counter{0};
  const auto base = std::filesystem::temp_directory_path();
  std::call_once(swept, [&] {
    const int removed = RemoveLeftoverTestDirectories(base);
    if (removed > 0) {
      std::fprintf(stderr, "Removed %d test directories that runs which died left in %s\n", removed,
                   base.string().c_str());
    }
  });
  std::random_device random;
  for (;;) {
    path_ = base / (kTestDirectoryPrefix + std::to_string(CurrentProcessId()) + "-" +
                    std::to_string(counter++) + "-" + std::to_string(random() % 1000000000u));
    std::error_code error;
    if (std::filesystem::create_directory(path_, error)) break;
  }
  std::filesystem::current_path(path_);
}

ScopedTempDirectory::~ScopedTempDirectory() {
  std::error_code error;
  std::filesystem::current_path(previous_, error);
  std::filesystem::remove_all(path_, error);
  if (error) {
    ADD_FAILURE() << "Could not remove the test directory " << path_.string() << ": "
                  << error.message();
  }
}

std::string Excerpt(std::string_view bytes, std::size_t limit) {
  std::string out = "\"";
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += "\"";
  if (bytes.size() > limit) out += " and " + std::to_string(bytes.size() - limit) + " more bytes";
  return out;
}

}  // namespace qc::tests
