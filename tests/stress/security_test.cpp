// Accounts with secrets and the limits per client, against the real server:
// who may do what in each account mode, secrets never kept or printed in
// clear, guessing slowed, hashing off the request path, and what the
// request-rate, connection and quota limits let one client do to the others.
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "StressTest.h"

namespace parley::test {
namespace {

std::string RegSecret(string_view user, string_view secret) { return BuildFrame(wire::EV_REGISTER_SECRET, user, secret); }
std::string Login(string_view user, string_view secret) { return BuildFrame(wire::EV_LOGIN, user, secret); }
std::string ChangeSecretReq(string_view user, string_view old_secret, string_view new_secret) {
  return BuildFrame(wire::EV_CHANGE_SECRET, user, old_secret, new_secret);
}

class SecurityTest : public StressTest {
 protected:
  // A connection logged in as `user` (registered with `secret` first when `fresh`).
  Peer LoggedIn(const std::string& user, const std::string& secret, bool fresh = true) {
    Peer p = Connected();
    const std::string setup = (fresh ? RegSecret(user, secret) : "") + Login(user, secret);
    Exchange(p, setup, OksFor(setup));
    return p;
  }
  // Whether `request` on `p` is answered "ok" (a data frame after it is read too).
  bool Ok(Peer& p, const std::string& request) {
    const std::optional<bool> ok = p.Status(request, deadline);
    EXPECT_TRUE(ok.has_value()) << "no status reply";
    const uint64_t type = wire::LoadU64(request.data() + wire::kLengthSize);
    if (ok == true && (type == wire::EV_GETMSG || type == wire::EV_GETCHAT || type == wire::EV_HISTORY ||
                       type == wire::EV_SUBSCRIBE)) {
      EXPECT_TRUE(p.ReadFrame(deadline).has_value());
    }
    return ok == true;
  }
};

// Every rule of the account modes, request by request. In `required` mode a
// connection that has not logged in may only register with a secret or log
// in; a logged-in one may only name its own user and read its own chats.
// In `open` mode the same requests behave as without accounts.
TEST_F(SecurityTest, AccountModesDecideWhoMayDoWhat) {
  for (const bool required : {true, false}) {
    SCOPED_TRACE(required ? "--auth required" : "--auth open");
    StartServer({"--auth", required ? "required" : "open"});
    Peer alice = LoggedIn("alice", "alice's secret");
    Peer bob = LoggedIn("bob", "bob's secret");
    Peer anon = Connected();
    for (const auto& [p, setup] : {std::pair{&alice, CreateChatReq("alice", "a") + SendReq("alice", "a", "hi")},
                                   std::pair{&bob, CreateChatReq("bob", "b") + SendReq("bob", "b", "yo")}})
      Exchange(*p, setup, OksFor(setup));
    const int64_t in_b = (int64_t{2} << 32);  // the first message of the second chat

    struct Row {
      const char* what;
      Peer* who;
      std::string request;
      bool ok_required, ok_open;
    };
    const Row rows[] = {
        {"anonymous: send as alice", &anon, SendReq("alice", "a", "x"), false, true},
        {"anonymous: list", &anon, GetChatReq("a"), false, true},
        {"anonymous: fetch", &anon, GetMsgReq("b", in_b), false, true},
        {"anonymous: plain register", &anon, Register("carol"), false, true},
        {"anonymous: join as bob", &anon, JoinChatReq("bob", "a"), false, true},
        {"anonymous: register with a secret", &anon, RegSecret("dave", "d"), true, true},
        {"anonymous: log in with a wrong secret", &anon, Login("bob", "guess"), false, false},
        {"alice: send as herself", &alice, SendReq("alice", "a", "hello"), true, true},
        {"alice: send as bob", &alice, SendReq("bob", "a", "forged"), false, true},
        {"alice: create as bob", &alice, CreateChatReq("bob", "c"), false, true},
        {"alice: list her chat", &alice, GetChatReq("a"), true, true},
        {"alice: list bob's chat", &alice, GetChatReq("b"), false, true},
        {"alice: fetch from bob's chat", &alice, GetMsgReq("b", in_b), false, true},
        {"alice: history of bob's chat", &alice, BuildFrame(wire::EV_HISTORY, "b", int64_t{-1}, 10), false, true},
        {"alice: forward from bob's chat", &alice, ForwardReq("alice", "b", "a", in_b), false, true},
        {"alice: subscribe as bob", &alice, BuildFrame(wire::EV_SUBSCRIBE, "bob", "a"), false, true},
        {"alice: change bob's secret", &alice, ChangeSecretReq("bob", "bob's secret", "mine"), false, true},
        {"bob: log in as dave", &bob, Login("dave", "d"), false, true},
        {"bob: list bob's chat", &bob, GetChatReq("b"), true, true},
        {"alice: plain register", &alice, Register("erin"), false, true},
    };
    for (const Row& r : rows) EXPECT_EQ(Ok(*r.who, r.request), required ? r.ok_required : r.ok_open) << r.what;

    // A log-in pipelined behind other requests (more than run at once, so
    // some are still queued) takes effect exactly from its place on.
    Peer late = Connected();
    std::string batch, replies;
    for (int i = 0; i < 600; ++i) {
      batch += SendReq("dave", "a", "early");  // not logged in, not a member
      replies += StatusFrame(wire::EV_SENGMSG, false);
    }
    batch += Login("dave", "d") + CreateChatReq("dave", "d");
    Exchange(late, batch, replies + StatusFrame(wire::EV_LOGIN, true) + StatusFrame(wire::EV_CREATECHAT, true));
    StopServer();
  }
}

// Secrets are kept only as salted hashes: not in the data directory (journal
// and snapshot), not on stderr; the hashes survive a restart.
TEST_F(SecurityTest, SecretsAreNeverKeptInClear) {
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "parley-secrets";
  std::filesystem::remove_all(dir);
  const std::vector<std::string> args = {"--auth", "required", "--data-dir", dir.string(), "--fsync", "always"};
  const std::string first = "canary-first-7f3a", second = "canary-second-91bc", wrong = "canary-wrong-55de";
  StartServer(args);
  Peer p = LoggedIn("owner", first);
  Exchange(p, ChangeSecretReq("owner", first, second), StatusFrame(wire::EV_CHANGE_SECRET, true));
  Exchange(p, Login("owner", wrong), StatusFrame(wire::EV_LOGIN, false));
  ::kill(server().pid(), SIGUSR1);  // a snapshot holds the accounts too
  ASSERT_TRUE(server().WaitStderr("snapshot", std::chrono::seconds(20)));
  const std::string err = StopServer();

  std::string stored;
  for (const auto& f : std::filesystem::recursive_directory_iterator(dir)) {
    if (!f.is_regular_file()) continue;
    std::string bytes(static_cast<size_t>(f.file_size()), '\0');
    std::ifstream(f.path(), std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    stored += bytes;
  }
  for (const std::string& secret : {first, second, wrong}) {
    EXPECT_EQ(stored.find(secret), std::string::npos) << secret << " is in the data directory";
    EXPECT_EQ(err.find(secret), std::string::npos) << secret << " is on stderr";
  }
  EXPECT_NE(stored.find("$argon2id$"), std::string::npos) << "no salted hash was stored";

  StartServer(args);
  Peer again = Connected();
  const std::string logins = Login("owner", first) + Login("owner", second);
  Exchange(again, logins, StatusFrame(wire::EV_LOGIN, false) + StatusFrame(wire::EV_LOGIN, true));
  StopServer();
  std::filesystem::remove_all(dir);
}

// Failed log-ins delay the next attempt, per account and per address,
// doubling each time; the owner with the right secret still gets in, and
// every failure is counted.
TEST_F(SecurityTest, GuessingSecretsIsSlowedDown) {
  StartServer({"--auth", "required"});
  Peer setup = Connected();
  Exchange(setup, RegSecret("target", "right") + RegSecret("other", "right"),
           OksFor(RegSecret("target", "right") + RegSecret("other", "right")));
  Peer guesser = Connected();
  const auto started = Clock::now();
  for (int i = 0; i < 4; ++i) Exchange(guesser, Login("target", "guess" + std::to_string(i)), StatusFrame(wire::EV_LOGIN, false));
  // After 1, 2 and 3 failures: at least 250 + 500 + 1000 ms of waiting.
  EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(1750));

  // Another account from the same address waits out the address's delay (2 s after 4 failures).
  Peer elsewhere = Connected();
  const auto other_started = Clock::now();
  Exchange(elsewhere, Login("other", "right"), StatusFrame(wire::EV_LOGIN, true));
  EXPECT_GE(Clock::now() - other_started, std::chrono::milliseconds(1500));
  // The owner, with the right secret, is let in once the delay has passed.
  Exchange(guesser, Login("target", "right") + SendReq("target", "none", "x"),
           StatusFrame(wire::EV_LOGIN, true) + StatusFrame(wire::EV_SENGMSG, false));
  const std::string err = StopServer();
  EXPECT_NE(err.find("failed log-in as \"target\" from 127.0.0.1 (4 in a row"), std::string::npos) << err;
  EXPECT_NE(err.find("failed log-ins 4;"), std::string::npos) << err;
}

// Hashing runs off the request path: while secrets are hashed one after
// another, a plain client's requests are answered at once.
TEST_F(SecurityTest, HashingDoesNotHoldUpOtherClients) {
  StartServer();
  std::vector<Peer> hashing;
  for (int i = 0; i < 6; ++i) {
    hashing.push_back(Connected());
    ASSERT_TRUE(hashing.back().Send(RegSecret("h" + std::to_string(i), "secret"), deadline));
  }
  Peer plain = Owner("plain", "room");
  for (int i = 0; i < 50; ++i) Exchange(plain, SendReq("plain", "room", "m"), StatusFrame(wire::EV_SENGMSG, true));
  // One hashing thread, six hashes of tens of milliseconds each: the last is not done yet.
  EXPECT_TRUE(hashing.back().Quiet(std::chrono::milliseconds(1))) << "the plain client waited for every hash";
  for (Peer& h : hashing) Exchange(h, "", StatusFrame(wire::EV_REGISTER_SECRET, true));
}

// A connection over --max-request-rate is read more slowly, not refused;
// another client meanwhile is served as usual.
TEST_F(SecurityTest, RequestRateIsEnforcedByReadingMoreSlowly) {
  StartServer({"--max-request-rate", "500"});
  Peer flooder = Owner("flooder", "f");
  Peer polite = Owner("polite", "p");
  std::string flood;
  for (int i = 0; i < 1500; ++i) flood += SendReq("flooder", "f", "spam");
  const auto started = Clock::now();
  ASSERT_TRUE(flooder.Send(flood, deadline));
  for (int i = 0; i < 50; ++i) Exchange(polite, SendReq("polite", "p", "hi"), StatusFrame(wire::EV_SENGMSG, true));
  Exchange(flooder, "", OksFor(flood));  // every request answered "ok", none refused
  // A second's burst, then 500 a second: the other 1000 take at least 2 s.
  EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(1900));
  const std::string err = StopServer();
  EXPECT_NE(err.find("over 500 requests per second; reading from it slowed"), std::string::npos) << err;
}

// Past --max-conns-per-ip, new connections from the address are closed at
// once, without a reply; those already open go on, and a freed place is taken again.
TEST_F(SecurityTest, ConnectionsPerAddressAreLimited) {
  StartServer({"--max-conns-per-ip", "3"});
  std::vector<Peer> open;
  for (int i = 0; i < 3; ++i) open.push_back(Owner("u" + std::to_string(i), "c" + std::to_string(i)));
  Peer extra = Connected();
  EXPECT_TRUE(extra.WaitEof(deadline)) << "a connection past the limit was served";
  Exchange(open[0], SendReq("u0", "c0", "still here"), StatusFrame(wire::EV_SENGMSG, true));
  open[2].Close();
  ASSERT_TRUE(server().WaitStderr("already has 3 connections open"));
  bool served = false;  // the server notices the close in its own time
  for (int attempt = 0; attempt < 50 && !served; ++attempt) {
    Peer again = Connected();
    served = again.Status(Register("late"), deadline).has_value();
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(served);
}

// Registrations (with or without a secret) and chat creations per address
// per minute: past the quota "no", and only successful ones count.
TEST_F(SecurityTest, RegistrationsAndChatsPerAddressAreLimited) {
  StartServer({"--max-registrations-per-ip", "3", "--max-chats-per-ip", "2"});
  Peer p = Connected();
  const struct {
    std::string request;
    bool ok;
  } steps[] = {
      {Register("a"), true},        {Register("a"), false},  // taken: not counted
      {RegSecret("b", "s"), true},  {Register("c"), true},
      {Register("d"), false},       {RegSecret("e", "s"), false},
      {CreateChatReq("a", "x"), true}, {CreateChatReq("a", "x"), false},
      {CreateChatReq("b", "y"), true}, {CreateChatReq("c", "z"), false},
      {SendReq("a", "x", "other requests are not limited"), true},
  };
  for (const auto& s : steps) EXPECT_EQ(p.Status(s.request, deadline), s.ok);
  const std::string err = StopServer();
  EXPECT_NE(err.find("refused by address quota 3"), std::string::npos) << err;
}

}  // namespace
}  // namespace parley::test
