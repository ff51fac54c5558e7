// The native server's side of the commands: the runtime directory it accepts, the control
// socket's mode, versioned requests and their answers (also from a server that does not
// know them), what each command does to the share list and the two files, and the request
// log line.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <thread>

#include "app/control.h"
#include "app/messages.h"
#include "app/server.h"
#include "shares/downloads_file.h"
#include "cli/control_protocol.h"
#include "cli/native_server.h"
#include "platform/control_channel.h"
#include "platform/host_addresses.h"
#include "platform/runtime_directory.h"
#include "shares/share_defaults.h"
#include "shares/share_file.h"
#include "unit/clipboard_fakes.h"
#include "unit/net_support.h"
#include "unit/platform_support.h"
#include "unit/test_support.h"

namespace qc::cli {
namespace {

namespace fs = std::filesystem;
using tests::ScopedTempDirectory;
using tests::WaitFor;

// The environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(RuntimeDirectory, OnlyADirectoryOfTheUsersOwnThatNobodyElseCanWriteTo) {
  ScopedTempDirectory temp;
  const uid_t uid = ::getuid();
  auto dir = [&](const std::string& name, mode_t mode) {
    const std::string path = (temp.path() / name).string();
    ::mkdir(path.c_str(), 0700);
    ::chmod(path.c_str(), mode);
    return path;
  };
  const std::string good = dir("good", 0700);
  const std::string link = (temp.path() / "link").string();
  ASSERT_EQ(::symlink(good.c_str(), link.c_str()), 0);
  const std::string file = (temp.path() / "file").string();
  tests::WriteFileBytes(file, "x");
  struct Case {
    std::string path;
    std::string problem;  // empty: accepted; otherwise a part of the reason
  };
  std::vector<Case> cases = {
      {good, ""},
      {dir("readable", 0755), ""},
      {dir("group-writable", 0770), "can be written by other users (mode 0770)"},
      {dir("other-writable", 0702), "can be written by other users (mode 0702)"},
      {dir("sticky-world", 01777), "can be written by other users (mode 1777)"},
      {link, "is a symbolic link"},
      {file, "is not a directory"},
      {(temp.path() / "missing").string(), "No such file or directory"},
  };
  if (uid == 0) {
    // Only root can give a directory away to test this.
    const std::string foreign = dir("foreign", 0700);
    ASSERT_EQ(::chown(foreign.c_str(), 4321, 4321), 0);
    cases.push_back({foreign, "belongs to user 4321, not to user 0"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string problem = platform::CheckRuntimeDirectory(c.path, uid);
    if (c.problem.empty()) {
      EXPECT_EQ(problem, "");
    } else {
      EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
      EXPECT_EQ(problem.rfind(c.path, 0), 0u) << "the reason names the directory";
    }
  }
  {
    // Without $XDG_RUNTIME_DIR the user's own directory under /tmp, under the same rule.
    ScopedEnv env("XDG_RUNTIME_DIR", "");
    const std::string fallback = "/tmp/quillcast-" + std::to_string(uid);
    std::error_code error;
    const bool existed = std::filesystem::exists(fallback, error);
    std::string problem;
    const std::optional<std::string> used = platform::RuntimeDirectory(&problem);
    if (used) {
      EXPECT_EQ(*used, fallback);
      EXPECT_EQ(platform::CheckRuntimeDirectory(fallback, uid), "");
    } else {
      EXPECT_EQ(problem.rfind(fallback, 0), 0u) << problem;
    }
    // One this look made is removed again (it is empty); one there before is the user's.
    if (!existed) std::filesystem::remove(fallback, error);
  }
  // A refused $XDG_RUNTIME_DIR is not replaced by another directory: nothing is used.
  ScopedEnv env("XDG_RUNTIME_DIR", dir("open", 0777));
  std::string problem;
  EXPECT_FALSE(platform::RuntimeDirectory(&problem));
  EXPECT_NE(problem.find("can be written by other users"), std::string::npos);
  EXPECT_EQ(platform::ControlSocketPath(), "");
  platform::SingleInstance instance;
  EXPECT_FALSE(instance.Acquire());
  platform::ControlServer server;
  EXPECT_EQ(server.Open(), platform::ControlSetup::ChannelFailed);
}

TEST(ControlFields, DecodeTakesWholeListsOnly) {
  struct Case {
    std::string bytes;
    bool whole;
    std::vector<std::string> fields;
  };
  const Case cases[] = {
      {"", true, {}},
      {EncodeFields({"a", "", "bc"}), true, {"a", "", "bc"}},
      {std::string("\x01\x00\x00", 3), false, {}},
      {std::string("\x05\x00\x00\x00"
                   "abc",
                   7),
       false,
       {}},
      {std::string("\xFF\xFF\xFF\xFF", 4), false, {}},
      {EncodeFields({"a"}) + "x", false, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> fields;
    EXPECT_EQ(DecodeFields(c.bytes, fields), c.whole);
    if (c.whole) {
      EXPECT_EQ(fields, c.fields);
    }
  }
}

// The server's loop on its own thread with the native command handler, as the native
// program runs it.
class NativeChannel {
 public:
  NativeChannel(Application& app, std::uint16_t listeningPort)
      : app_(app),
        server_(CommandRequests(
            [this, listeningPort](CommandType type, const std::vector<std::string>& fields) {
              return HandleCommand(app_, listeningPort, type, fields);
            })) {
    thread_ = std::thread([this] { RunControlChannel(app_, server_); });
    EXPECT_TRUE(WaitFor([] { return platform::ControlServerReachable(); }));
  }
  ~NativeChannel() {
    EXPECT_EQ(SendStopRequest(app_.services.messages), 1);
    thread_.join();
  }

 private:
  Application& app_;
  platform::ControlServer server_;
  std::thread thread_;
};

ControlReply Ask(CommandType type, const std::vector<std::string>& fields) {
  ControlReply reply;
  EXPECT_EQ(ExchangeCommand(type, fields, reply, 5000), ExchangeResult::Answered);
  return reply;
}

// A machine with one address and no default route.
platform::AddressLookup OneAddressHost() {
  return tests::FakeHost(std::vector<std::string>{"10.1.2.3"});
}

TEST(ControlProtocol, TheSocketIsTheUsersAloneAndTheUmaskIsKept) {
  ScopedTempDirectory dir;
  Application app;
  const mode_t before = ::umask(022);
  {
    NativeChannel channel(app, 80);
    struct stat st;
    ASSERT_EQ(::lstat(platform::ControlSocketPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, ::getuid());
    const mode_t during = ::umask(022);
    EXPECT_EQ(during, 022u);
  }
  ::umask(before);
  // The loop's end removes the socket.
  EXPECT_FALSE(fs::exists(platform::ControlSocketPath()));
}

TEST(ControlProtocol, UnknownVersionsTypesAndMalformedRequestsGetAClearRefusal) {
  ScopedTempDirectory dir;
  Application app;
  app.services.addresses = OneAddressHost();
  NativeChannel channel(app, 80);
  auto raw = [](std::string bytes) {
    ControlReply reply;
    EXPECT_EQ(ExchangeRaw(bytes, reply, 5000), ExchangeResult::Answered);
    return reply;
  };
  struct Case {
    const char* name;
    std::string request;
    std::string message;
  };
  const Case cases[] = {
      {"newer version", EncodeRequest(2, 'L', {}),
       "the server understands control requests of version 1, not 2"},
      {"version 0", EncodeRequest(0, 'S', {"/a/b"}), "version 1, not 0"},
      {"unknown type", EncodeRequest(1, 'Z', {}), "the server does not know this request"},
      {"old kind as a type", EncodeRequest(1, 'X', {}), "the server does not know this request"},
      {"malformed payload",
       std::string("V\x01L\x03\x00\x00\x00"
                   "abc",
                   10),
       "the request is malformed"},
      {"too large", std::string("V\x01L\xFF\xFF\xFF\x7F", 7), "the request is too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ControlReply reply = raw(c.request);
    EXPECT_EQ(reply.status, ReplyStatus::Unsupported);
    ASSERT_EQ(reply.fields.size(), 1u);
    EXPECT_NE(reply.fields[0].find(c.message), std::string::npos) << reply.fields[0];
  }
  // None of them stopped or changed the server; it answers the next request.
  EXPECT_EQ(Ask(CommandType::List, {}).status, ReplyStatus::Ok);
  EXPECT_EQ(app.shares.Count(), 0u);
}

TEST(ControlProtocol, AServerWithoutTheVersionedRequestsIsToldApartFromNoServer) {
  ScopedTempDirectory dir;
  ControlReply reply;
  EXPECT_EQ(ExchangeCommand(CommandType::List, {}, reply, 2000), ExchangeResult::NotRunning);
  // What a server of the one-way protocol does with a kind it does not know: read the
  // byte and close.
  const std::string path = platform::ControlSocketPath();
  int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ::unlink(path.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  std::thread oldServer([listener] {
    for (int i = 0; i < 2; ++i) {
      int client = ::accept(listener, nullptr, nullptr);
      char kind;
      ::recv(client, &kind, 1, 0);
      if (i == 1) {
        // A half answer: the mark and nothing more.
        ::send(client, "R", 1, MSG_NOSIGNAL);
      }
      ::close(client);
    }
  });
  EXPECT_EQ(ExchangeCommand(CommandType::Share, {"/a/b"}, reply, 5000), ExchangeResult::NoAnswer);
  EXPECT_EQ(ExchangeCommand(CommandType::List, {}, reply, 5000), ExchangeResult::BadAnswer);
  oldServer.join();
  ::close(listener);
  ::unlink(path.c_str());
}

TEST(ControlProtocol, OneWayRequestsOfOlderClientsAreStillServedBesideVersionedOnes) {
  ScopedTempDirectory dir;
  Application app;
  app.services.addresses = OneAddressHost();
  app.settings.port = 80;
  app.settings.flags = 0;
  NativeChannel channel(app, 80);
  ASSERT_EQ(SendShareRequests(app.services.messages, {"/d/old.txt"}), 1);
  ASSERT_TRUE(WaitFor([&] { return app.shares.Count() == 1; }));
  const ControlReply shared = Ask(CommandType::Share, {"/d/new file.txt"});
  EXPECT_EQ(shared.status, ReplyStatus::Ok);
  EXPECT_EQ(shared.fields, (std::vector<std::string>{"http://10.1.2.3/new%20file.txt", ""}));
  const ControlReply list = Ask(CommandType::List, {});
  EXPECT_EQ(list.fields,
            (std::vector<std::string>{"http://10.1.2.3/old.txt", "/d/old.txt", "0", "0", "0", "0",
                                      "0", "0", "http://10.1.2.3/new%20file.txt", "/d/new file.txt",
                                      "0", "0", "0", "0", "0", "0"}));
}

TEST(NativeCommands, ShareListAndUnshareKeepTheListAndTheFileInStep) {
  ScopedTempDirectory dir;
  Application app;
  app.services.addresses = OneAddressHost();
  tests::MessageRecorder recorder(app.services.messages);
  app.settings.port = 8080;
  app.settings.flags = kNewSharesOneShot;
  app.settings.domain = "files.example";

  struct Step {
    CommandType type;
    std::vector<std::string> fields;
    ReplyStatus status;
    std::vector<std::string> reply;
    std::string fileAfter;  // shared.cfg
  };
  const std::string folder = (dir.path() / "folder").string();
  const std::string fifo = (dir.path() / "fifo").string();
  fs::create_directory(folder);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string a = tests::RecordBytes("/a.txt", "/home/u/a.txt", 1);
  const std::string b = tests::RecordBytes("/report 2009.pdf", "/srv/report 2009.pdf", 1);
  const std::string c = tests::RecordBytes("/c", "/x/c", 1);
  const std::string a2 = tests::RecordBytes("/a (2).txt", "/home/v/a.txt", 1);
  const std::string f = tests::RecordBytes("/folder.zip", folder, 1);
  const std::string r = tests::RecordBytes("/root.zip", "/", 1);
  const std::string rootRefused = std::string(messages::kFolderIsDriveRoot.text) +
                                  ": / (quillcast --yes shares it all the same)";
  const Step steps[] = {
      {CommandType::Share,
       {"/home/u/a.txt"},
       ReplyStatus::Ok,
       {"http://files.example:8080/a.txt", ""},
       a},
      {CommandType::Share,
       {"/srv/report 2009.pdf"},
       ReplyStatus::Ok,
       {"http://files.example:8080/report%202009.pdf", ""},
       a + b},
      {CommandType::Share,
       {"/x/c"},
       ReplyStatus::Ok,
       {"http://files.example:8080/c", ""},
       a + b + c},
      // A folder is one archive named after it; what can never be served is not stored; a
      // missing file is (above: it may come).
      {CommandType::Share,
       {folder + "/"},
       ReplyStatus::Ok,
       {"http://files.example:8080/folder.zip", ""},
       a + b + c + f},
      {CommandType::Share,
       {fifo},
       ReplyStatus::Failed,
       {"Only files can be shared, not folders: " + fifo},
       a + b + c + f},
      // The same file again gives its link back; another of its name gets one of its own.
      {CommandType::Share,
       {"/home/u/a.txt"},
       ReplyStatus::Ok,
       {"http://files.example:8080/a.txt", ""},
       a + b + c + f},
      {CommandType::Share,
       {"/home/v/a.txt"},
       ReplyStatus::Ok,
       {"http://files.example:8080/a%20(2).txt", ""},
       a + b + c + f + a2},
      // A control character (a NUL would make the file unreadable at the next start).
      {CommandType::Share,
       {std::string("/x/n\0ul", 7)},
       ReplyStatus::Failed,
       {"Can't share this path: it holds a control character: /x/n?ul"},
       a + b + c + f + a2},
      {CommandType::Share,
       {"/x/line\nfeed"},
       ReplyStatus::Failed,
       {"Can't share this path: it holds a control character: /x/line?feed"},
       a + b + c + f + a2},
      // A file at the root has no folder to cut off: refused as the generator refuses it.
      {CommandType::Share,
       {"/rootfile"},
       ReplyStatus::Failed,
       {"Incorrect physical path to file\nError. Can't generate virtual path"},
       a + b + c + f + a2},
      {CommandType::List,
       {},
       ReplyStatus::Ok,
       {"http://files.example:8080/a.txt",
        "/home/u/a.txt",
        "1",
        "0",
        "0",
        "0",
        "0",
        "0",
        "http://files.example:8080/report%202009.pdf",
        "/srv/report 2009.pdf",
        "1",
        "0",
        "0",
        "0",
        "0",
        "0",
        "http://files.example:8080/c",
        "/x/c",
        "1",
        "0",
        "0",
        "0",
        "0",
        "0",
        "http://files.example:8080/folder.zip",
        folder,
        "1",
        "0",
        "0",
        "0",
        "0",
        "0",
        "http://files.example:8080/a%20(2).txt",
        "/home/v/a.txt",
        "1",
        "0",
        "0",
        "0",
        "0",
        "0"},
       a + b + c + f + a2},
      // By URL under another host name, then by the file itself, then by virtual path.
      {CommandType::Unshare,
       {"http://127.0.0.1:8080/report%202009.pdf"},
       ReplyStatus::Ok,
       {"http://files.example:8080/report%202009.pdf"},
       a + c + f + a2},
      {CommandType::Unshare,
       {"no such share", "/home/u/a.txt"},
       ReplyStatus::Ok,
       {"http://files.example:8080/a.txt"},
       c + f + a2},
      {CommandType::Unshare,
       {"/a.txt"},
       ReplyStatus::Failed,
       {"no share matches \"/a.txt\""},
       c + f + a2},
      {CommandType::Unshare, {"/c"}, ReplyStatus::Ok, {"http://files.example:8080/c"}, f + a2},
      // A whole drive only with the user's --yes; any other second field is no request.
      {CommandType::Share, {"/"}, ReplyStatus::Failed, {rootRefused}, f + a2},
      {CommandType::Share,
       {"/x/c", "no"},
       ReplyStatus::Failed,
       {"a share request names one file"},
       f + a2},
      {CommandType::Share,
       {"/", "yes"},
       ReplyStatus::Ok,
       {"http://files.example:8080/root.zip", ""},
       f + a2 + r},
      // Limits travel as fields of their own, each once and never zero; shared.cfg keeps its
      // records as they were, the limits go to downloads.cfg.
      {CommandType::Share,
       {"/x/d", "limit=0"},
       ReplyStatus::Failed,
       {"a share request names one file"},
       f + a2 + r},
      {CommandType::Share,
       {"/x/d", "limit=2", "limit=3"},
       ReplyStatus::Failed,
       {"a share request names one file"},
       f + a2 + r},
      {CommandType::Share,
       {"/x/d", "until=soon"},
       ReplyStatus::Failed,
       {"a share request names one file"},
       f + a2 + r},
      {CommandType::Share,
       {"/x/d", "limit=2", "until=4102444800"},
       ReplyStatus::Ok,
       {"http://files.example:8080/d", ""},
       f + a2 + r + tests::RecordBytes("/d", "/x/d", 1)},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.fields.empty() ? "list" : step.fields[0]);
    const ControlReply reply = HandleCommand(app, 8080, step.type, step.fields);
    EXPECT_EQ(reply.status, step.status);
    EXPECT_EQ(reply.fields, step.reply);
    EXPECT_EQ(tests::ReadFileBytes(kSharesFileName), step.fileAfter);
  }
  EXPECT_EQ(tests::ReadFileBytes(kDownloadsFileName),
            EncodeDownloadRecords({{"/d", "/x/d", {}, {2, 4102444800}}}));
  const ControlReply list = HandleCommand(app, 8080, CommandType::List, {});
  ASSERT_EQ(list.fields.size(), 4 * kListFieldsPerShare);
  EXPECT_EQ(std::vector<std::string>(list.fields.end() - 5, list.fields.end()),
            (std::vector<std::string>{"0", "0", "0", "2", "4102444800"}));
  // Nothing was shown on the server's side: the answers carried it all.
  EXPECT_TRUE(recorder.Messages().empty());
}

TEST(NativeCommands, ConfigWritesTheSettingsFileAndTellsWhenThePortWaitsForARestart) {
  ScopedTempDirectory dir;
  Application app;
  app.services.addresses = OneAddressHost();
  app.settings.port = 80;
  app.settings.flags = kCopyUrlAfterShare;
  const std::string printed81 =
      "port=81\nhost=0\ndomain=localhost\nfolder=/"
      "temp\noneshot=no\ncopyurl=yes\nlimit=0\nlifetime=0\n";
  // The bytes of the settings file's own example: port 81, host 0, flags 2, localhost, /temp.
  const std::string file81 =
      std::string("QC\x51\x00\x00\x00\x02\x00\x09\x00\x05\x00", 12) + "localhost/temp";
  struct Step {
    std::vector<std::string> pairs;
    ReplyStatus status;
    std::vector<std::string> reply;
    std::string fileAfter;
  };
  const Step steps[] = {
      {{"port=81", "domain=localhost", "folder=/temp"},
       ReplyStatus::Ok,
       {printed81,
        "Requires restart the server to update the port: port 81 takes effect at the next "
        "start; the server keeps listening on port 80"},
       file81},
      // Showing changes nothing, and tells which address links carry.
      {{},
       ReplyStatus::Ok,
       {printed81 + "\naddresses of this machine (host=N puts the Nth into links):\n  1  10.1.2.3\n"
                    "links use localhost: the domain (host=0)\n",
        ""},
       file81},
      // A bad pair changes nothing, neither in memory nor in the file.
      {{"oneshot=yes", "port=70000"},
       ReplyStatus::Failed,
       {"port must be a number from 1 to 65535, not \"70000\""},
       file81},
      // Back to the port it listens on: no notice.
      {{"port=80"},
       ReplyStatus::Ok,
       {"port=80\nhost=0\ndomain=localhost\nfolder=/"
        "temp\noneshot=no\ncopyurl=yes\nlimit=0\nlifetime=0\n",
        ""},
       std::string("QC\x50\x00\x00\x00\x02\x00\x09\x00\x05\x00", 12) + "localhost/temp"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.pairs.empty() ? "show" : step.pairs[0]);
    const ControlReply reply = HandleCommand(app, 80, CommandType::Config, step.pairs);
    EXPECT_EQ(reply.status, step.status);
    EXPECT_EQ(reply.fields, step.reply);
    EXPECT_EQ(tests::ReadFileBytes(kSettingsFileName), step.fileAfter);
  }
  EXPECT_EQ(app.settings.flags, kCopyUrlAfterShare);
}

// The defaults reach only shares made after them, and only what the command leaves open;
// a refused value changes neither file.
TEST(NativeCommands, DefaultsForNewSharesAndTheCommandsOwnLimits) {
  ScopedTempDirectory dir;
  Application app;
  app.services.addresses = OneAddressHost();
  app.settings.port = 80;
  app.settings.flags = 0;
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  const auto share = [&app](std::vector<std::string> fields) {
    const ControlReply reply = HandleCommand(app, 80, CommandType::Share, fields);
    EXPECT_EQ(reply.status, ReplyStatus::Ok);
    return app.shares.Snapshot().back()->Limits();
  };
  EXPECT_FALSE(share({"/x/before"}).Any());
  const ControlReply set = HandleCommand(app, 80, CommandType::Config, {"limit=1", "lifetime=2h"});
  ASSERT_EQ(set.status, ReplyStatus::Ok);
  EXPECT_NE(set.fields[0].find("\nlimit=1\nlifetime=2h\n"), std::string::npos);
  const std::string file = tests::ReadFileBytes(kDefaultsFileName);
  EXPECT_EQ(file, EncodeShareDefaults({1, 7200}));
  EXPECT_FALSE(fs::exists(kSettingsFileName));  // only the defaults were changed

  struct Case {
    std::vector<std::string> fields;
    std::uint64_t maxDownloads;
    std::int64_t until;  // 0: about now + 2 h
  };
  const Case cases[] = {
      {{"/x/a"}, 1, 0},
      {{"/x/b", "limit=3"}, 3, 0},
      {{"/x/c", "until=4102444800"}, 1, 4102444800},
      {{"/x/d", "limit=3", "until=4102444800"}, 3, 4102444800},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields.back());
    const ShareLimits limits = share(c.fields);
    EXPECT_EQ(limits.maxDownloads, c.maxDownloads);
    if (c.until != 0) {
      EXPECT_EQ(limits.until, c.until);
    } else {
      EXPECT_GE(limits.until, now + 7200);
      EXPECT_LE(limits.until, now + 7200 + 60);
    }
  }
  // A share made before keeps none; one shared again keeps its own.
  EXPECT_FALSE(app.shares.Snapshot()[0]->Limits().Any());
  EXPECT_EQ(share({"/x/b"}).maxDownloads, 3u);
  // Each new share's limits are stored at once.
  EXPECT_EQ(ParseDownloadRecords(tests::ReadFileBytes(kDownloadsFileName)).size(), 4u);

  // Refused values and an unwritable common.cfg leave the defaults as they were.
  EXPECT_EQ(HandleCommand(app, 80, CommandType::Config, {"limit=0", "lifetime=1y"}).status,
            ReplyStatus::Failed);
  fs::create_directory(kSettingsFileName);
  EXPECT_EQ(HandleCommand(app, 80, CommandType::Config, {"limit=0", "port=81"}).status,
            ReplyStatus::Failed);
  EXPECT_EQ(tests::ReadFileBytes(kDefaultsFileName), file);
  EXPECT_EQ(app.shareDefaults, (ShareDefaults{1, 7200}));
}

// The server's files are its start-up directory's for its whole life: started with that
// directory set while the current directory is another, it loads both files from there,
// and the saves that follow (a share, a setting) land there too, never in the current
// directory.
TEST(NativeCommands, TheServerKeepsToTheFilesOfItsStartupDirectory) {
  ScopedTempDirectory elsewhere;  // the current directory throughout
  const fs::path startup = elsewhere.path() / "startup";
  fs::create_directory(startup);
  const std::uint16_t port = tests::FreePort();
  ASSERT_NE(port, 0);
  tests::WriteFileBytes(startup / kSettingsFileName, tests::SettingsBytes(port, 0, 0));
  const std::string a = tests::RecordBytes("/a.txt", "/home/u/a.txt", 0);
  const std::string c = tests::RecordBytes("/c", "/x/c", 0);
  tests::WriteFileBytes(startup / kSharesFileName, a);
  Application app;
  app.services.addresses = OneAddressHost();
  tests::MessageRecorder recorder(app.services.messages);
  app.storedFiles = StoredFiles::In(startup.string());
  ASSERT_EQ(StartServer(app).result, StartResult::Running);
  struct Stop {
    Application& app;
    ~Stop() { StopServer(app); }
  } stop{app};
  EXPECT_EQ(tests::LocalPort(app.listenSocket), port);
  EXPECT_EQ(app.shares.Count(), 1u);

  EXPECT_EQ(HandleCommand(app, port, CommandType::Share, {"/x/c"}).status, ReplyStatus::Ok);
  EXPECT_EQ(HandleCommand(app, port, CommandType::Config, {"domain=files.example"}).status,
            ReplyStatus::Ok);
  EXPECT_EQ(tests::ReadFileBytes(startup / kSharesFileName), a + c);
  EXPECT_NE(tests::ReadFileBytes(startup / kSettingsFileName).find("files.example"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(elsewhere.path() / kSharesFileName));
  EXPECT_FALSE(fs::exists(elsewhere.path() / kSettingsFileName));
  EXPECT_TRUE(recorder.Messages().empty());
}

TEST(NativeCommands, ConfigReportListsTheAddressesAndSaysWhichOneLinksUse) {
  using List = std::vector<std::string>;
  const std::string header = "\naddresses of this machine (host=N puts the Nth into links):\n";
  struct Case {
    const char* name;
    std::optional<List> interfaces;
    std::optional<std::string> route;
    std::string domain;
    std::uint16_t hostChoice;
    std::string report;
  };
  const Case cases[] = {
      {"the route's address leads and is used", List{"127.0.0.1", "198.51.100.7", "192.0.2.2"},
       "192.0.2.2", "", 0,
       header + "  1  192.0.2.2  (default route)\n  2  198.51.100.7\n"
                "links use 192.0.2.2: the default route's address\n"},
      {"host=2", List{"198.51.100.7", "192.0.2.2"}, "192.0.2.2", "files.example", 2,
       header + "  1  192.0.2.2  (default route)\n  2  198.51.100.7\n"
                "links use 198.51.100.7: address 2 of the list (host=2)\n"},
      {"the domain", List{"192.0.2.2"}, "192.0.2.2", "files.example", 0,
       header + "  1  192.0.2.2  (default route)\nlinks use files.example: the domain (host=0)\n"},
      {"a choice the list no longer has", List{"192.0.2.2"}, "192.0.2.2", "", 3,
       header + "  1  192.0.2.2  (default route)\n"
                "links use 192.0.2.2: host=3 names no address of this machine, so the default "
                "route's address\n"},
      {"no default route", List{"10.0.0.5", "10.0.0.6"}, std::nullopt, "", 0,
       header + "  1  10.0.0.5\n  2  10.0.0.6\n"
                "links use 10.0.0.5: the first address (there is no default route)\n"},
      {"only loopback", List{"127.0.0.1"}, std::nullopt, "", 0,
       header + "  1  127.0.0.1\n"
                "links use 127.0.0.1: the first address (there is no default route)\n"},
      {"nothing", List{}, std::nullopt, "", 0,
       "\nthis machine has no IPv4 address\n"
       "links use 127.0.0.1: loopback, so they work on this machine only; set domain=NAME for "
       "others\n"},
      {"no list", std::nullopt, std::nullopt, "", 1,
       "\nthe addresses of this machine cannot be listed\n"
       "links use 127.0.0.1: host=1 names no address of this machine, so loopback, so they work on "
       "this "
       "machine only; set domain=NAME for others\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerSettings settings;
    settings.domain = c.domain;
    settings.hostChoice = c.hostChoice;
    EXPECT_EQ(FormatHostReport(settings, tests::FakeHost(c.interfaces, c.route)), c.report);
  }
}

TEST(NativeCommands, AFailedSettingsWriteLeavesTheRunningSettingsAsTheyWere) {
  ScopedTempDirectory dir;
  Application app;
  app.settings.port = 80;
  // A directory where the file should be: it cannot be written.
  fs::create_directory(kSettingsFileName);
  const ControlReply reply = HandleCommand(app, 80, CommandType::Config, {"port=81"});
  EXPECT_EQ(reply.status, ReplyStatus::Failed);
  EXPECT_EQ(app.settings.port, 80);
}

TEST(RequestLog, OneLinePerAnswerWithPathStatusBytesAndRange) {
  struct Case {
    std::string path;  // none when empty and `bad`
    bool bad;
    bool hasRange;
    std::int64_t start, end;
    ResponseSummary summary;
    std::string line;
  };
  const Case cases[] = {
      {"/a.txt", false, false, -1, -1, {200, 1234}, "T 127.0.0.1 /a.txt 200 1234 -"},
      {"/report 2009.pdf",
       false,
       true,
       100,
       199,
       {206, 100},
       "T 127.0.0.1 /report%202009.pdf 206 100 bytes=100-199"},
      {"/a", false, true, -1, 500, {400, 0}, "T 127.0.0.1 /a 400 0 bytes=-500"},
      {"/a", false, true, 7, -1, {400, 0}, "T 127.0.0.1 /a 400 0 bytes=7-"},
      // A 206 logs the bytes it answered, as its Content-Range names them.
      {"/a",
       false,
       true,
       -1,
       500,
       {206, 500, ByteSpan{500, 500}},
       "T 127.0.0.1 /a 206 500 bytes=500-999"},
      {"/a",
       false,
       true,
       7,
       -1,
       {206, 993, ByteSpan{7, 993}},
       "T 127.0.0.1 /a 206 993 bytes=7-999"},
      {"/a",
       false,
       true,
       7,
       5000,
       {206, 993, ByteSpan{7, 993}},
       "T 127.0.0.1 /a 206 993 bytes=7-999"},
      {"/a",
       false,
       true,
       -1,
       0,
       {206, 0, ByteSpan{1000, 0}},
       "T 127.0.0.1 /a 206 0 bytes=1000-999"},
      {"/missing\n\x1b[31m",
       false,
       false,
       -1,
       -1,
       {404, 198},
       "T 127.0.0.1 /missing%0A%1B%5B31m 404 198 -"},
      {"", true, false, -1, -1, {400, 184}, "T 127.0.0.1 - 400 184 -"},
      // An answer that did not all go out gets a seventh field.
      {"/a.bin",
       false,
       false,
       -1,
       -1,
       {200, 4194304, {}, true},
       "T 127.0.0.1 /a.bin 200 4194304 - incomplete"},
      {"/a",
       false,
       true,
       7,
       -1,
       {206, 0, ByteSpan{7, 993}, true},
       "T 127.0.0.1 /a 206 0 bytes=7-999 incomplete"},
      {"/missing",
       false,
       false,
       -1,
       -1,
       {404, 0, {}, true},
       "T 127.0.0.1 /missing 404 0 - incomplete"},
      // A completed download is marked, a resumed one too.
      {"/a.bin",
       false,
       false,
       -1,
       -1,
       {200, 4194304, {}, false, true},
       "T 127.0.0.1 /a.bin 200 4194304 - done"},
      {"/a",
       false,
       true,
       7,
       -1,
       {206, 993, ByteSpan{7, 993}, false, true},
       "T 127.0.0.1 /a 206 993 bytes=7-999 done"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Connection connection(platform::kInvalidSocket);
    if (!c.bad) connection.received.request.path = c.path;
    connection.received.request.badRequest = c.bad;
    connection.received.request.hasRange = c.hasRange;
    // -1: not given.
    if (c.start >= 0) connection.received.request.rangeStart = c.start;
    if (c.end >= 0) connection.received.request.rangeEnd = c.end;
    connection.received.answered = c.summary;
    EXPECT_EQ(FormatRequestLogLine("T", "127.0.0.1", connection), c.line);
  }
}

// A HEAD answer carries a seventh field, "HEAD"; a 304 is logged like any answer.
TEST(RequestLog, HeadIsMarkedAndNotModifiedShowsItsStatus) {
  struct Case {
    RequestMethod method;
    bool hasRange;
    ResponseSummary summary;
    std::string line;
  };
  const Case cases[] = {
      {RequestMethod::Head, false, {200, 0}, "T 127.0.0.1 /a 200 0 - HEAD"},
      {RequestMethod::Head,
       true,
       {206, 0, ByteSpan{999, 1}},
       "T 127.0.0.1 /a 206 0 bytes=999-999 HEAD"},
      {RequestMethod::Head, false, {404, 0}, "T 127.0.0.1 /a 404 0 - HEAD"},
      {RequestMethod::Get, false, {304, 0}, "T 127.0.0.1 /a 304 0 -"},
      {RequestMethod::Head, false, {304, 0}, "T 127.0.0.1 /a 304 0 - HEAD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Connection connection(platform::kInvalidSocket);
    connection.received.request.path = "/a";
    connection.received.request.method = c.method;
    connection.received.request.hasRange = c.hasRange;
    if (c.hasRange) connection.received.request.rangeEnd = 1;
    connection.received.answered = c.summary;
    EXPECT_EQ(FormatRequestLogLine("T", "127.0.0.1", connection), c.line);
  }
}

}  // namespace
}  // namespace qc::cli
