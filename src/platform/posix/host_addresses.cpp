#include "platform/hooks.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

namespace qc::platform {

std::optional<std::vector<std::string>> hooks::LookUpHostAddresses() {
  char name[kHostNameBuffer] = {};
  if (gethostname(name, sizeof name) != 0) return std::nullopt;
  name[sizeof name - 1] = '\0';
  // gethostbyname returns static storage: one lookup at a time in this process.
  static std::mutex lookupMutex;
  std::lock_guard guard(lookupMutex);
  const hostent* entry = gethostbyname(name);
  if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list == nullptr) {
    return std::nullopt;
  }
  std::vector<std::string> addresses;
  for (char** address = entry->h_addr_list; *address != nullptr; ++address) {
    in_addr in{};
    static_assert(sizeof in == 4);
    std::memcpy(&in, *address, sizeof in);
    addresses.emplace_back(inet_ntoa(in));
  }
  return addresses;
}

}  // namespace qc::platform
