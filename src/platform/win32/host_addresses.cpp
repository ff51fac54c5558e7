#include "platform/hooks.h"

#include <cstring>

#include "platform/os_windows.h"

namespace qc::platform {

std::optional<std::vector<std::string>> hooks::LookUpHostAddresses() {
  char name[kHostNameBuffer] = {};
  if (gethostname(name, kHostNameBuffer) != 0) return std::nullopt;
  name[kHostNameBuffer - 1] = '\0';
  // Winsock keeps the hostent per thread, but inet_ntoa's buffer is reused: copy at once.
  const hostent* entry = gethostbyname(name);
  if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list == nullptr) {
    return std::nullopt;
  }
  std::vector<std::string> addresses;
  for (char** address = entry->h_addr_list; *address != nullptr; ++address) {
    in_addr in{};
    std::memcpy(&in, *address, sizeof in);
    const char* text = inet_ntoa(in);
    if (text != nullptr) addresses.emplace_back(text);
  }
  return addresses;
}

}  // namespace qc::platform
