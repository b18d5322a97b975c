// History on disk, against the real server: a restart gives back what
// clients saw (from a snapshot and the journal after it), a second server on
// the same directory is refused, a torn tail is cut and reported, any other
// damage stops the start naming the file and offset, and a file-size limit
// turns changes away, reads going on, until it is lifted.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>

#include "StressTest.h"

namespace parley::test {
namespace {

namespace fs = std::filesystem;
using namespace parley::wire;

class Durability : public StressTest {
 protected:
  Durability() { fs::remove_all(dir); }
  ~Durability() override { fs::remove_all(dir); }

  std::vector<std::string> DataArgs(std::vector<std::string> more = {}) const {
    more.insert(more.begin(), {"--data-dir", dir.string()});
    return more;
  }
  // Every message of `chat` as clients see it: id, sender and body.
  std::string Seen(Peer& p, const std::string& chat) {
    std::string out = chat + ":";
    const auto ids = p.List(chat, deadline);
    if (!ids) return out + " (no such chat)";
    for (int64_t id : *ids) {
      const auto m = p.Fetch(chat, id, deadline);
      out += " " + std::to_string(id) + (m ? "/" + m->first + "/" + m->second : "/?");
    }
    return out;
  }
  // The newest file of the data directory with this extension.
  fs::path Newest(const std::string& ext) const {
    fs::path newest;
    for (const auto& e : fs::directory_iterator(dir))
      if (e.path().extension() == ext && e.path() > newest) newest = e.path();
    return newest;
  }
  // A history of five messages in "dh-room", with a snapshot after the third
  // when asked, left by a server stopped cleanly.
  void MakeHistory(bool snapshot) {
    ServerProcess s;
    ASSERT_TRUE(s.Start(DataArgs())) << s.Stderr();
    Peer p;
    ASSERT_TRUE(p.Connect(s.port(), deadline));
    const std::string setup = Register("dh") + CreateChatReq("dh", "dh-room");
    ASSERT_TRUE(Exchange(p, setup, OksFor(setup)));
    for (int i = 0; i < 5; ++i) {
      ASSERT_EQ(p.Status(SendReq("dh", "dh-room", "message " + std::to_string(i)), deadline), true);
      if (i == 2 && snapshot) {
        ::kill(s.pid(), SIGUSR1);
        ASSERT_TRUE(s.WaitStderr("journal segments removed", 10s * kSlowdown)) << s.Stderr();
      }
    }
    ASSERT_EQ(s.Stop(SIGTERM), 0) << s.Stderr();
  }

  const fs::path dir = fs::temp_directory_path() / Unique("parley-data");
};

TEST_F(Durability, ARestartGivesBackEverythingAndASecondServerIsRefused) {
  StartServer(DataArgs({"--fsync", "always"}));
  Peer p = Owner("dr-a", "dr-room");
  const std::string setup = Register("dr-b") + JoinChatReq("dr-b", "dr-room") + CreateChatReq("dr-b", "dr-other") +
                            SendReq("dr-a", "dr-room", "one") + SendReq("dr-b", "dr-room", "two") +
                            SendReq("dr-a", "dr-room", std::string("three\0with a zero", 17));
  ASSERT_TRUE(Exchange(p, setup, OksFor(setup)));
  const auto ids = p.List("dr-room", deadline);
  ASSERT_TRUE(ids && ids->size() == 3);
  ::kill(server().pid(), SIGUSR1);  // a snapshot now; what follows is in the journal only
  ASSERT_TRUE(server().WaitStderr("journal segments removed", 10s * kSlowdown)) << server().Stderr();
  const std::string after = EditReq("dr-a", "dr-room", (*ids)[0], "one, edited") +
                            DeleteReq("dr-b", "dr-room", (*ids)[1]) + ForwardReq("dr-b", "dr-room", "dr-other", (*ids)[2]) +
                            SendReq("dr-b", "dr-other", "four") + Register("dr-c");
  ASSERT_TRUE(Exchange(p, after, OksFor(after)));
  const std::string before = Seen(p, "dr-room") + "\n" + Seen(p, "dr-other");

  const RunResult second = RunProcess({PARLEYD_PATH, "--port", "0", "--data-dir", dir.string()});
  EXPECT_EQ(second.exit_status, 1);
  EXPECT_NE(second.err.find("in use by another process"), std::string::npos) << second.err;

  StopServer();
  ServerProcess again;
  ASSERT_TRUE(again.Start(DataArgs())) << again.Stderr();
  Peer q;
  ASSERT_TRUE(q.Connect(again.port(), deadline));
  EXPECT_EQ(Seen(q, "dr-room") + "\n" + Seen(q, "dr-other"), before);
  EXPECT_EQ(q.Status(Register("dr-c"), deadline), false) << "a user registered before the restart";
  EXPECT_EQ(q.Status(SendReq("dr-b", "dr-room", "five"), deadline), true) << "a membership from before";
  EXPECT_EQ(again.Stop(SIGTERM), 0) << again.Stderr();
}

TEST_F(Durability, RecoveryCutsATornTailAndRefusesDamage) {
  struct Case {
    const char* what;
    bool snapshot;     // the history has one
    const char* ext;   // the file to change: the newest ".log" or ".snap"
    long offset;       // the byte to change; -1: append a torn record; -2: remove the file
    const char* says;  // on stderr (and from --check-data)
  } cases[] = {
      {"a torn tail", false, ".log", -1, "torn tail of 7 bytes"},
      {"a damaged record", false, ".log", 30, "at offset 24: record checksum mismatch"},
      {"an unknown format version", false, ".log", 8, "unknown format version"},
      {"a damaged snapshot", true, ".snap", 40, ".snap at offset 24: record checksum mismatch"},
      {"a missing snapshot", true, ".snap", -2, "a segment is missing"},
  };
  for (const Case& c : cases) {
    fs::remove_all(dir);
    MakeHistory(c.snapshot);
    const fs::path file = Newest(c.ext);
    if (c.offset == -2) {
      fs::remove(file);
    } else {
      std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary | (c.offset < 0 ? std::ios::app : std::ios::in));
      if (c.offset >= 0) f.seekp(c.offset);
      f.write(c.offset < 0 ? "\x30\0\0\0abc" : "X", c.offset < 0 ? 7 : 1);
    }
    const RunResult check = RunProcess({PARLEYD_PATH, "--check-data", dir.string()});
    const bool torn = c.offset == -1;
    EXPECT_EQ(check.exit_status, torn ? 0 : 1) << c.what << ": " << check.err;
    EXPECT_NE(check.err.find(torn ? "would be cut off" : c.says), std::string::npos) << c.what << ": " << check.err;
    if (torn) {
      ServerProcess s;
      ASSERT_TRUE(s.Start(DataArgs())) << c.what << ": " << s.Stderr();
      EXPECT_TRUE(s.WaitStderr(c.says)) << s.Stderr();
      Peer p;
      ASSERT_TRUE(p.Connect(s.port(), deadline));
      const auto ids = p.List("dh-room", deadline);
      EXPECT_TRUE(ids && ids->size() == 5) << c.what;
      EXPECT_EQ(s.Stop(SIGTERM), 0) << s.Stderr();
    } else {
      const RunResult start = RunProcess({PARLEYD_PATH, "--port", "0", "--data-dir", dir.string()}, "", 10s);
      EXPECT_EQ(start.exit_status, 1) << c.what << ": " << start.err;
      EXPECT_NE(start.err.find(c.says), std::string::npos) << c.what << ": " << start.err;
      if (c.offset >= 0) {
        EXPECT_NE(start.err.find(file.filename().string()), std::string::npos) << start.err;
      }
    }
  }
}

TEST_F(Durability, AFileSizeLimitTurnsChangesAwayUntilLifted) {
  StartServer(DataArgs());
  Peer p = Owner("df", "df-room");
  rlimit low{fs::file_size(Newest(".log")) + (256u << 10), RLIM_INFINITY}, old{};
  ASSERT_EQ(::prlimit(server().pid(), RLIMIT_FSIZE, &low, &old), 0);
  const std::string body(3000, 'f');
  int oks = 0;
  std::optional<bool> st;
  while ((st = p.Status(SendReq("df", "df-room", body), deadline)) == true && oks < 1000) ++oks;
  EXPECT_EQ(st, false) << "never refused";
  EXPECT_GT(oks, 10);
  const auto ids = p.List("df-room", deadline);  // reads go on; nothing refused was kept
  EXPECT_TRUE(ids && ids->size() == static_cast<size_t>(oks));
  EXPECT_TRUE(server().WaitStderr("no room for more records")) << server().Stderr();

  ASSERT_EQ(::prlimit(server().pid(), RLIMIT_FSIZE, &old, nullptr), 0);
  bool resumed = false;
  for (int i = 0; i < 100 && !resumed; ++i, std::this_thread::sleep_for(50ms))
    resumed = p.Status(SendReq("df", "df-room", body), deadline) == true;
  EXPECT_TRUE(resumed) << server().Stderr();
  const std::string err = StopServer();
  EXPECT_NE(err.find("journal refusals"), std::string::npos);

  ServerProcess again;
  ASSERT_TRUE(again.Start(DataArgs())) << again.Stderr();
  Peer q;
  ASSERT_TRUE(q.Connect(again.port(), deadline));
  const auto kept = q.List("df-room", deadline);
  EXPECT_TRUE(kept && kept->size() == static_cast<size_t>(oks) + 1);
  EXPECT_EQ(again.Stop(SIGTERM), 0) << again.Stderr();
}

}  // namespace
}  // namespace parley::test
