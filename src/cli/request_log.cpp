#include "cli/request_log.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace qc::cli {

struct RequestLog::State {
  std::mutex mutex;
  std::condition_variable changed;  // lines queued, the stop, or the writer's progress
  std::deque<std::string> lines;
  // Bytes of the queued lines and of those the writer has taken but not yet written.
  std::size_t heldBytes = 0;
  std::size_t capacity = 0;
  unsigned long long dropped = 0;
  unsigned long long written = 0;  // batches written: the stop's sign of progress
  bool closing = false;
  bool finished = false;  // the writer has ended
  // The writer waits for a first line; only then does a new line need to wake it.
  bool writerIdle = false;
  int fd = -1;
  bool ownsFd = false;
};

namespace {

// Every byte, unless the reader is gone (then nothing can be written, and nobody reads).
void WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Standard output left non-blocking by whoever started us: wait as a blocking write.
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, -1);
      continue;
    }
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void RunWriter(const std::shared_ptr<RequestLog::State>& state) {
  std::unique_lock<std::mutex> lock(state->mutex);
  std::string chunk;
  for (;;) {
    state->writerIdle = true;
    state->changed.wait(lock, [&] { return !state->lines.empty() || state->closing; });
    state->writerIdle = false;
    if (state->lines.empty()) break;  // closing, and everything written
    // The lines that follow the first within kRequestLogGather go out with it: one wake-up
    // and one write for them all, instead of a hand-over between threads per request.
    state->changed.wait_for(lock, kRequestLogGather, [&] { return state->closing; });
    std::deque<std::string> batch;
    batch.swap(state->lines);
    lock.unlock();
    // Whole lines, as many per write as a pipe keeps together (PIPE_BUF): a line never
    // mixes with what another writer of standard output writes meanwhile.
    std::size_t bytes = 0;
    for (const std::string& line : batch) {
      bytes += line.size();
      if (!chunk.empty() && chunk.size() + line.size() > PIPE_BUF) {
        WriteAll(state->fd, chunk);
        chunk.clear();
      }
      chunk += line;
    }
    WriteAll(state->fd, chunk);
    chunk.clear();
    lock.lock();
    state->heldBytes -= bytes;
    ++state->written;
    if (state->lines.empty() && state->dropped > 0) {
      const std::string note = DroppedLinesNote(state->dropped);
      state->dropped = 0;
      lock.unlock();
      WriteAll(state->fd, note);
      lock.lock();
    }
    state->changed.notify_all();
  }
  if (state->ownsFd) ::close(state->fd);
  state->finished = true;
  state->changed.notify_all();
}

}  // namespace

std::string DroppedLinesNote(unsigned long long count) {
  return "quillcast: " + std::to_string(count) + " request log line" + (count == 1 ? "" : "s") +
         " dropped: standard output was not read in time\n";
}

RequestLog::RequestLog(int fd, std::size_t queueBytes, std::chrono::milliseconds flushPatience)
    : state_(std::make_shared<State>()), flushPatience_(flushPatience) {
  state_->capacity = queueBytes;
  state_->fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  state_->ownsFd = state_->fd >= 0;
  // Without a descriptor to spare, the log writes to `fd` itself.
  if (!state_->ownsFd) state_->fd = fd;
  std::shared_ptr<State> state = state_;
  std::thread(RunWriter, state).detach();
}

RequestLog::~RequestLog() {
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->closing = true;
  state_->changed.notify_all();
  // Waits while the reader takes what is written; a reader that takes nothing for the
  // patience's length does not hold the stop. The writer, detached, then ends when its
  // write does (or with the process); it holds the state and its own descriptor.
  unsigned long long seen = state_->written;
  auto giveUp = std::chrono::steady_clock::now() + flushPatience_;
  while (!state_->finished) {
    if (state_->changed.wait_until(lock, giveUp) == std::cv_status::timeout) {
      if (state_->written == seen) break;
    }
    if (state_->written != seen) {
      seen = state_->written;
      giveUp = std::chrono::steady_clock::now() + flushPatience_;
    }
  }
}

void RequestLog::Add(std::string line) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->heldBytes + line.size() > state_->capacity) {
    ++state_->dropped;
    return;
  }
  state_->heldBytes += line.size();
  state_->lines.push_back(std::move(line));
  if (state_->writerIdle) state_->changed.notify_all();
}

}  // namespace qc::cli
