// Stand-ins for the clipboard and the host's address lookup, for the URL copy tests.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/clipboard.h"
#include "platform/host_addresses.h"
#include "shares/settings_file.h"

namespace qc::tests {

// Settings with only what a URL is made of.
inline ServerSettings UrlSettings(const std::string& domain, std::uint16_t hostChoice,
                                  std::uint16_t port) {
  ServerSettings s;
  s.domain = domain;
  s.hostChoice = hostChoice;
  s.port = port;
  return s;
}

// A clipboard that records every call and keeps what was handed to it.
class FakeClipboard {
 public:
  FakeClipboard() {
    ops_.open = [this] {
      calls.push_back("open");
      if (!openSucceeds) return false;
      ++openCount;
      return true;
    };
    ops_.empty = [this] {
      calls.push_back("empty");
      contents.reset();
    };
    ops_.setText = [this](const char* data, std::size_t size) {
      calls.push_back("set");
      if (!allocationSucceeds) return false;
      contents = std::string(data, size);
      return true;
    };
    ops_.close = [this] {
      calls.push_back("close");
      --openCount;
    };
  }
  FakeClipboard(const FakeClipboard&) = delete;
  FakeClipboard& operator=(const FakeClipboard&) = delete;

  // What the code under test is handed as its clipboard; valid while this object lives.
  const platform::ClipboardOps& Ops() const { return ops_; }
  // The text as a CF_TEXT reader sees it: up to the first NUL.
  std::string Text() const { return contents ? std::string(contents->c_str()) : "<none>"; }

  bool openSucceeds = true;
  bool allocationSucceeds = true;
  int openCount = 0;  // back to 0 when every open was closed
  std::vector<std::string> calls;
  std::optional<std::string> contents = std::string("previous");

 private:
  platform::ClipboardOps ops_;
};

// A made-up machine as the code under test looks it up: the interfaces' addresses (in the
// system's order) and the default route's source address.
inline platform::AddressLookup FakeHost(std::optional<std::vector<std::string>> addresses,
                                        std::optional<std::string> route = std::nullopt) {
  return {[addresses] { return addresses; }, [route] { return route; }};
}

// The clipboard calls of a copy that went through.
inline const std::vector<std::string> kCalls = {"open", "empty", "set", "close"};

}  // namespace qc::tests
