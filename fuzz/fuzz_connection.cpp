// A whole connection over memory: the receive loop, the parser and the response writer,
// against a small share list of real files. The input's first two bytes shape the
// stream (how the rest arrives in chunks, how it ends, when sending starts to fail); the
// rest is what the client sends.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_files.h"
#include "http/connection.h"
#include "http/texts.h"
#include "../tests/unit/memory_stream.h"

namespace {

struct SharedFile {
  const char* name;
  const char* virtualPath;
  std::uint32_t flags;
  std::string bytes;
};

std::vector<SharedFile>& Files() {
  static std::vector<SharedFile> files = [] {
    std::vector<SharedFile> made = {
        {"small.bin", "/temp/a.txt", 0, "0123456789"},
        {"empty.bin", "/temp/empty", 0, ""},
        {"big.bin", "/big", 0, std::string()},
        {"once.bin", "/once", qc::kOneShot, "one-shot body"},
    };
    for (int i = 0; i < 9000; ++i) made[2].bytes.push_back(static_cast<char>('a' + i % 26));
    return made;
  }();
  return files;
}

void CreateFilesOnce() {
  static const bool created = [] {
    qc::fuzz::EnterScratchDirectory();
    for (const SharedFile& f : Files()) {
      qc::fuzz::WriteWholeFile(f.name, reinterpret_cast<const std::uint8_t*>(f.bytes.data()),
                               f.bytes.size());
    }
    // Runs before the scratch directory's own clean-up, while it is still current.
    std::atexit([] {
      for (const SharedFile& f : Files()) std::remove(f.name);
    });
    return true;
  }();
  (void)created;
}

bool StartsWith(const std::string& s, std::string_view prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// The answer without its Date line, which every answer's head holds (checked here).
std::string WithoutDate(const std::string& sent) {
  const std::size_t headEnd = sent.find("\r\n\r\n");
  const std::size_t at = sent.find(std::string("\r\n").append(qc::http_text::kDate));
  if (headEnd == std::string::npos || at == std::string::npos || at > headEnd) __builtin_trap();
  const std::size_t end = sent.find("\r\n", at + 2);
  return sent.substr(0, at + 2) + sent.substr(end + 2);
}

// A page as the writer sends it, less its Date line.
std::string Page(std::string_view status, std::string_view lines, std::string_view body,
                 bool headOnly) {
  std::string page(status);
  page.append(lines)
      .append(qc::http_text::kContentLength)
      .append(std::to_string(body.size()))
      .append(qc::http_text::kLineEnd)
      .append(qc::http_text::kClose)
      .append(qc::http_text::kLineEnd);
  if (!headOnly) page.append(body);
  return page;
}

// Checks a file answer against the file itself: the length sent is the body's (no body
// at all for HEAD), and the body is the bytes of the file from the range's start. Every
// line of the head ends in CR LF, and the validators stand in it.
void CheckFileAnswer(const std::string& sent, bool headOnly) {
  const std::size_t headEnd = sent.find("\r\n\r\n");
  if (headEnd == std::string::npos) __builtin_trap();
  const std::string head = sent.substr(0, headEnd + 2);
  const std::string body = sent.substr(headEnd + 4);
  for (std::size_t i = 0; i < head.size(); ++i) {
    if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r')) __builtin_trap();
  }
  if (head.find(qc::http_text::kETag) == std::string::npos) __builtin_trap();
  if (head.find(qc::http_text::kLastModified) == std::string::npos) __builtin_trap();
  if (head.find(qc::http_text::kClose) == std::string::npos) __builtin_trap();
  (void)WithoutDate(sent);
  const std::size_t lengthAt = head.find(qc::http_text::kContentLength);
  if (lengthAt == std::string::npos) __builtin_trap();
  const long long length =
      std::strtoll(head.c_str() + lengthAt + qc::http_text::kContentLength.size(), nullptr, 10);
  if (headOnly) {
    if (!body.empty()) __builtin_trap();
    return;
  }
  if (static_cast<long long>(body.size()) != length) __builtin_trap();
  long long start = 0;
  const std::size_t rangeAt = head.find(qc::http_text::kContentRange);
  if (rangeAt != std::string::npos) {
    start = std::strtoll(head.c_str() + rangeAt + qc::http_text::kContentRange.size(), nullptr, 10);
  }
  for (const SharedFile& f : Files()) {
    if (f.bytes.size() < static_cast<std::size_t>(start) + body.size()) continue;
    if (f.bytes.compare(static_cast<std::size_t>(start), body.size(), body) == 0) return;
  }
  __builtin_trap();  // bytes that are in no shared file at that place
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  CreateFilesOnce();
  const std::size_t chunk = data[0] & 0x3F;         // 0: everything at once
  const long long end = (data[0] & 0x40) ? -1 : 0;  // a failure or time limit, or a close
  const long long sendBudget = (data[0] & 0x80) ? static_cast<long long>(data[1]) * 37 : -1;

  qc::ShareRegistry shares;  // a fresh list each time: the one-shot share returns
  for (const SharedFile& f : Files()) shares.AppendShare(f.name, f.virtualPath, f.flags);

  // The client's bytes in chunks of `chunk` (the last one shorter).
  std::vector<std::string> chunks;
  const char* bytes = reinterpret_cast<const char*>(data + 2);
  const std::size_t count = size - 2;
  for (std::size_t at = 0; at < count; at += chunk == 0 ? count : chunk) {
    chunks.emplace_back(bytes + at, std::min(count - at, chunk == 0 ? count : chunk));
  }
  qc::tests::MemoryStream stream(std::move(chunks), end, sendBudget);
  qc::ReceiveState state;
  qc::ServeStream(stream, shares, state);

  if (stream.askedForNothing || stream.sentInvalid) __builtin_trap();
  if (state.capacity > qc::kMaxHeadSize || state.length >= state.capacity) __builtin_trap();
  const std::string& sent = stream.sent;
  if (sent.empty() || stream.sendFailed) return 0;
  const bool headOnly = state.request.method == qc::RequestMethod::Head;
  if (StartsWith(sent, qc::http_text::kStatus200) || StartsWith(sent, qc::http_text::kStatus206)) {
    CheckFileAnswer(sent, headOnly);
    return 0;
  }
  // A 304 is a head alone, with the validators.
  if (StartsWith(sent, qc::http_text::kStatus304)) {
    if (sent.find("\r\n\r\n") != sent.size() - 4) __builtin_trap();
    if (sent.find(qc::http_text::kETag) == std::string::npos) __builtin_trap();
    (void)WithoutDate(sent);
    return 0;
  }
  // The pages go out whole (their heads alone for HEAD). A range outside a file names the
  // size of one of the files.
  namespace text = qc::http_text;
  const std::string page = WithoutDate(sent);
  if (page == Page(text::kStatus404, {}, text::kNotFoundBody, headOnly) ||
      page == Page(text::kStatus400, {}, text::kBadRequestBody, headOnly) ||
      page == Page(text::kStatus412, {}, text::kPreconditionFailedBody, headOnly) ||
      page == Page(text::kStatus503, text::kRetryAfter, text::kBusyBody, headOnly)) {
    return 0;
  }
  for (const SharedFile& f : Files()) {
    const std::string range =
        std::string(text::kUnsatisfiedRange) + std::to_string(f.bytes.size()) + "\r\n";
    if (page == Page(text::kStatus416, range, text::kRangeNotSatisfiableBody, headOnly)) return 0;
  }
  __builtin_trap();
}
