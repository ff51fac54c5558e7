#include "http/connection.h"

#include <algorithm>
#include <cstring>

#include "http/request_parser.h"
#include "http/response_writer.h"
#include "http/worker_pool.h"
#include "platform/file.h"

namespace qc {

Connection::Connection(platform::socket_t socket)
    : buffer(kReceiveStep, '\0'), socket_(socket) {
  platform::PrepareConnectionSocket(socket_);
}

Connection::~Connection() { CloseSocket(); }

long long Connection::SendAll(const char* data, long long count) {
  long long sent = 0;
  while (sent < count) {
    long long n = platform::SendUnlessStopped(socket_, data + sent,
                                              static_cast<std::size_t>(count - sent), stop_);
    if (n < 0) return -1;
    sent += n;
  }
  return count;
}

long long Connection::SendFileRange(platform::File& file, std::int64_t offset,
                                   std::int64_t count) {
  const long long sent = platform::SendFileUnlessStopped(socket_, file.NativeHandle(), offset,
                                                         count, stop_);
  if (sent != platform::kFileSendUnsupported) return sent;
  return ResponseSink::SendFileRange(file, offset, count);
}

void Connection::Interrupt() {
  stop_.store(true);
  std::lock_guard<std::mutex> guard(socketMutex_);
  if (!socketReleased_) platform::WakeConnection(socket_);
}

void Connection::CloseSocket() {
  std::lock_guard<std::mutex> guard(socketMutex_);
  if (socketReleased_) return;
  platform::CloseSocket(socket_);
  socketReleased_ = true;
}

void Connection::MarkDone() {
  std::lock_guard<std::mutex> guard(doneMutex_);
  done_ = true;
  doneChanged_.notify_all();
}

void Connection::WaitDone() {
  std::unique_lock<std::mutex> guard(doneMutex_);
  doneChanged_.wait(guard, [this] { return done_; });
}

int IsHeadComplete(const char* buffer, std::int32_t p) {
  if (p < 0) return 0;
  auto at = [buffer](std::int32_t i) { return i >= 0 ? buffer[i] : '\0'; };
  if (buffer[p] == '\n' && p >= 1 && at(p - 1) == '\n') return 1;
  if (buffer[p] == '\n' && p >= 2 && at(p - 2) == '\n') return 1;
  if (buffer[p] == '\r' && p >= 2 && at(p - 2) == '\r') return 1;
  return 0;
}

void Connection::Serve(ShareRegistry& shares) {
  for (;;) {
    long long n = platform::ReceiveUnlessStopped(
        socket_, buffer.data() + length, static_cast<std::size_t>(capacity - 1 - length), stop_);
    if (n <= 0) return;
    length += static_cast<std::int32_t>(n);
    buffer[length] = '\0';
    if (IsHeadComplete(buffer.data(), length - 1)) {
      request.badRequest = ParseRequest(buffer.data(), length, request);
      answered = WriteResponse(request, shares, *this);
      return;
    }
    if (length == capacity - 1) {
      if (capacity >= kMaxHeadSize) {
        answered = SendBadRequestPage(*this);
        return;
      }
      // Grows in place: the bytes received so far keep their offsets.
      capacity += kReceiveStep;
      buffer.resize(static_cast<std::size_t>(capacity), '\0');
    }
  }
}

ConnectionRegistry::ConnectionRegistry() : lock_("mut_ouaccess") {}

ConnectionPtr ConnectionRegistry::RegisterConnection(platform::socket_t socket) {
  std::lock_guard<platform::NamedLock> guard(lock_);
  if (stopping_) return nullptr;
  auto connection = std::make_shared<Connection>(socket);
  live_.push_back(connection);
  return connection;
}

void ConnectionRegistry::UnregisterConnection(const ConnectionPtr& connection) {
  std::lock_guard<platform::NamedLock> guard(lock_);
  auto it = std::find(live_.begin(), live_.end(), connection);
  if (it != live_.end()) live_.erase(it);
}

void ConnectionRegistry::StopAllConnections() {
  std::vector<ConnectionPtr> snapshot;
  {
    // From here on no connection is registered, so the snapshot is every connection
    // that will ever need waking. The shared pointers keep each record alive while its
    // thread unregisters itself.
    std::lock_guard<platform::NamedLock> guard(lock_);
    stopping_ = true;
    snapshot = live_;
  }
  // Every connection is woken before the first is awaited: where a wake-up takes effect
  // only at the end of a wait slice (Windows), thousands of idle connections then end
  // within one slice, not one slice each.
  for (const ConnectionPtr& connection : snapshot) connection->Interrupt();
  for (const ConnectionPtr& connection : snapshot) connection->WaitDone();
}

std::size_t ConnectionRegistry::Count() {
  std::lock_guard<platform::NamedLock> guard(lock_);
  return live_.size();
}

void ConnectionRegistry::Reset() {
  std::lock_guard<platform::NamedLock> guard(lock_);
  live_.clear();
  stopping_ = false;
}

namespace {
void ConnectionThread(ConnectionPtr connection, ConnectionRegistry* connections,
                      ShareRegistry* shares) {
  connection->Serve(*shares);
  connections->NotifyAnswered(*connection);
  connection->CloseSocket();
  connections->UnregisterConnection(connection);
  // Last touch of anything shared: the stop may return as soon as this is set.
  connection->MarkDone();
}
}  // namespace

void AcceptLoop(platform::socket_t listener, ConnectionRegistry& connections,
                ShareRegistry& shares) {
  WorkerPool pool;
  for (;;) {
    platform::socket_t s = platform::Accept(listener);
    if (s == platform::kInvalidSocket) return;
    ConnectionPtr connection = connections.RegisterConnection(s);
    if (!connection) {
      // Accepted after the stop began: nobody will serve it.
      platform::CloseSocket(s);
      continue;
    }
    if (!pool.Run([connection, &connections, &shares] {
          ConnectionThread(connection, &connections, &shares);
        })) {
      // No thread for it: drop the connection rather than leave a record nobody ends.
      connection->CloseSocket();
      connections.UnregisterConnection(connection);
      connection->MarkDone();
    }
  }
}

}  // namespace qc
