// The native server's request log: connections hand their lines to a writer thread
// through a bounded queue, so that neither a connection nor the stop ever waits for
// whoever reads standard output (a pipe nobody drains, a terminal paused with Ctrl-S).
#pragma once
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace qc::cli {

// Lines waiting for the writer, in bytes. About ten thousand lines of a usual length: a
// reader that pauses for a few seconds under heavy load loses nothing, and a reader that
// never reads costs no more memory than this. Lines beyond it are dropped and counted.
inline constexpr std::size_t kRequestLogQueueBytes = 1 << 20;
// At the stop the lines still queued are written while the reader takes them; once it
// has taken nothing for this long, they are left, and the stop goes on.
inline constexpr std::chrono::milliseconds kRequestLogFlushPatience{500};

// How long the writer, woken by a line, gathers the lines that follow before writing: a
// line shows at most this late, and a busy server pays one thread wake-up and one write
// per gathering instead of one per request.
inline constexpr std::chrono::milliseconds kRequestLogGather{10};

// What the log writes, once its queue has drained, for lines it had to drop.
std::string DroppedLinesNote(unsigned long long count);

class RequestLog {
 public:
  // Writes to a duplicate of `fd`, so that the descriptor stays valid for the writer even
  // if the writer outlives this object (a reader that never reads).
  explicit RequestLog(int fd, std::size_t queueBytes = kRequestLogQueueBytes,
                      std::chrono::milliseconds flushPatience = kRequestLogFlushPatience);
  // Writes what is queued while the reader takes it (see kRequestLogFlushPatience), then
  // leaves the writer to end on its own.
  ~RequestLog();
  RequestLog(const RequestLog&) = delete;
  RequestLog& operator=(const RequestLog&) = delete;

  // Queues one line (with its line feed). Never waits for the reader: when the queue is
  // full, the line is dropped and counted.
  void Add(std::string line);

  struct State;  // shared with the writer thread, which may outlive the log

 private:
  std::shared_ptr<State> state_;
  std::chrono::milliseconds flushPatience_;
};

}  // namespace qc::cli
