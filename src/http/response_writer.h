#pragma once
#include "http/request.h"
#include "shares/share_registry.h"

namespace qc {

// A piece of the body; memory per connection stays constant whatever the file size.
inline constexpr int kPieceSize = 4096;

// What an answer was, for the request log: its status code and the body bytes that went
// out (a failed send counts only the pieces sent whole).
struct ResponseSummary {
  int status = 0;
  long long bodyBytes = 0;
};

// Answers one parsed request: the 400 page, the 404 page, the short 400, or the file
// whole (200) or one range of it (206). Carries out the one-shot rule.
ResponseSummary WriteResponse(Request& request, ShareRegistry& shares, ResponseSink& sink);

// The two pages, byte for byte, for the connection handling's own use (a head too long).
ResponseSummary SendBadRequestPage(ResponseSink& sink);
ResponseSummary SendNotFoundPage(ResponseSink& sink);

}  // namespace qc
