// A process-wide lock that cannot be made stops the start with a message, instead of a
// server whose share list or connection list nothing guards.
#include "app/messages.h"
#include "app/server.h"
#include "test_ui_fixture.h"

namespace qc::tests {
namespace {

TEST(NamedLockFailure, StartStopsWithAMessageWhenALockCannotBeMade) {
  for (const char* name : {"QuillcastConfigAccess", "mut_ouaccess"}) {
    SCOPED_TRACE(name);
    ScopedTempDirectory dir;
    // An event under the lock's name: CreateMutexA cannot make a mutex of it.
    HANDLE squatter = CreateEventA(nullptr, TRUE, FALSE, name);
    ASSERT_NE(squatter, nullptr);
    MessageRecorder recorder;
    {
      Application app;
      app.services.messages = recorder.Sink();
      ASSERT_FALSE(app.shares.Lock().IsValid() && app.connections.LockIsValid())
          << "the lock was made in spite of the event: " << GetLastError();
      EXPECT_EQ(RunServer(app), 1);
      EXPECT_EQ(app.listenSocket, platform::kInvalidSocket);  // never got as far as the port
    }
    const messages::Message& failed = messages::kLockFailed;
    ASSERT_EQ(recorder.Messages().size(), 1u);
    EXPECT_EQ(recorder.Messages()[0].text, failed.text);
    EXPECT_EQ(recorder.Messages()[0].caption, failed.caption);
    EXPECT_EQ(recorder.Messages()[0].icon, failed.icon);
    CloseHandle(squatter);
    // The single-instance mutex was let go, and with the name free the lock works again.
    Application next;
    EXPECT_TRUE(next.shares.Lock().IsValid());
    EXPECT_TRUE(next.connections.LockIsValid());
    EXPECT_TRUE(next.instance.Acquire());
    next.instance.Release();
  }
}

}  // namespace
}  // namespace qc::tests
