// The native command's client side: each command asks the running server over the control
// socket, and -list, -unshare and -config work on the files of the current directory when
// no server runs. Each returns the exit status and says what went wrong on standard error.
#pragma once
#include <string>
#include <vector>

#include "cli/options.h"
#include "platform/services.h"

namespace qc::cli {

// "quillcast FILE...": shares each file (with -limit and -until) and prints its link.
int ShareFiles(const Invocation& invocation);

// -list: the running server's shares, or those in the share file here without one.
int ListShares(const platform::Services& services);

// -unshare: withdraws the shares that `operands` name (URL, virtual path or file).
int Unshare(const platform::Services& services, const std::vector<std::string>& operands);

// -config: shows the settings, or changes them from the `key=value` `pairs`.
int Configure(const platform::Services& services, const std::vector<std::string>& pairs);

// -stop: asks the server to stop and returns once it has ended.
int Stop();

// -qr: the QR code of a link, or of a file's link (the file shared first if need be).
int ShowQrCode(const Invocation& invocation);

}  // namespace qc::cli
