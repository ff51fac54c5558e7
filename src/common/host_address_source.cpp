// The host-address hook both builds share: tests make the host's addresses known here,
// otherwise the platform's own lookup answers.
#include <mutex>

#include "platform/host_addresses.h"

namespace qc::platform {
namespace {
std::mutex sourceMutex;
HostAddressSource& TestSource() {
  static HostAddressSource source;
  return source;
}
}  // namespace

std::optional<std::vector<std::string>> HostIPv4Addresses() {
  HostAddressSource source;
  {
    std::lock_guard<std::mutex> guard(sourceMutex);
    source = TestSource();
  }
  return source ? source() : LookUpHostAddresses();
}

void SetHostAddressSourceForTesting(HostAddressSource source) {
  std::lock_guard<std::mutex> guard(sourceMutex);
  TestSource() = std::move(source);
}

}  // namespace qc::platform
