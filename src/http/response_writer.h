#pragma once
#include <cstdint>
#include <optional>

#include "http/request.h"
#include "http/response_decision.h"
#include "http/stream.h"
#include "shares/share_registry.h"

namespace qc {

// The body goes out in pieces of up to kPieceSize bytes where no zero-copy send is at
// hand (Windows, and in-memory sinks): each piece costs a read and a send call or more,
// and under Wine a 256 MiB download moved 80-120 MB/s with 64 KiB pieces, 160-390 with
// 256 KiB and 320-390 with 1 MiB (docs/PERFORMANCE.md). The buffer is one per sending
// thread, kept for its next answers (ReleasePieceBuffer frees it as the thread ends), no
// larger than the largest body it sent. A power of two, so that pieces stay aligned with
// the last piece's blocks.
inline constexpr int kPieceSize = 1024 * 1024;
// Frees the calling thread's piece buffer; every thread that may have sent an answer calls
// it before it ends.
void ReleasePieceBuffer();
// The last piece of every answer holds the 1 to kLastPieceSize bytes that remain after
// whole kLastPieceSize blocks counted from the range's first byte. The one-shot rule runs
// when it is due and the file is closed before it goes out, so these points lie at the same
// byte whatever kPieceSize is.
inline constexpr int kLastPieceSize = 4096;

// What an answer was, for the request log: its status code, the body bytes that went
// out (a failed send counts only the pieces sent whole; the zero-copy path counts every
// byte), for a 206 the bytes its Content-Range names, and whether any of what it
// announced did not go out (a client gone mid-download, a send that stalled, a file that
// shrank).
struct ResponseSummary {
  ResponseSummary(int status_ = 0, long long bodyBytes_ = 0, std::optional<ByteSpan> range_ = {},
                  bool incomplete_ = false, bool completed_ = false)
      : status(status_),
        bodyBytes(bodyBytes_),
        range(range_),
        incomplete(incomplete_),
        completed(completed_) {}
  int status;
  long long bodyBytes;
  std::optional<ByteSpan> range;
  bool incomplete;
  // Counted as a completed download of its share (ShareRegistry::ClaimLastPiece).
  bool completed;
};

// Answers one parsed request: the 400 page, the 404 page, the file whole (200) or one
// range of it (206), 304 when a conditional GET finds the client's copy current, or the
// pages of a failed precondition (412), a range outside the file (416) and a one-shot link
// whose first download is under way (503). Every answer carries a Date and says the
// connection closes. A HEAD request gets the head the GET would get, without a body.
// Carries out the one-shot rule (never for HEAD or 304).
// The decision (DecideResponse) and then its bytes (WriteDecidedResponse).
// `peer`: the client's IPv4 address, kept with a completed download.
ResponseSummary WriteResponse(const Request& request, ShareRegistry& shares, ResponseSink& sink,
                              std::uint32_t peer = 0);

// Puts a decided answer on the wire: its head, and the file's bytes for a 200 or 206 GET,
// which runs the one-shot rule before the last piece (a claim lost before anything was
// sent turns the answer into the 404 page). Closes the decision's file.
ResponseSummary WriteDecidedResponse(ResponseDecision& decision, ShareRegistry& shares,
                                     ResponseSink& sink, std::uint32_t peer = 0);

// The 400 page, byte for byte, for the connection's own use (a head too long); its head
// alone when `headOnly`.
ResponseSummary SendBadRequestPage(ResponseSink& sink, bool headOnly = false);

}  // namespace qc
