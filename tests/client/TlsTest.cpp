// Encrypted connections: parleyd's TLS listener with the client library, raw
// sockets and the `parley` binary. Certificates are made by the openssl
// command at test time: a CA, a certificate for localhost and 127.0.0.1
// signed by it, and an unrelated CA.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "Frames.h"
#include "Peer.h"
#include "ServerProcess.h"
#include "parley/Client.h"

namespace parley {
namespace {

using namespace std::chrono_literals;
using test::After;
using test::RunProcess;

// The certificates of this test process, removed at its exit.
struct CertDir {
  std::string path;
  CertDir() {
    char tmpl[] = "/tmp/parley-tls-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    path = tmpl;
    const char* script = R"(set -e
cd "$1"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key"; }
ca() { key "$1"; openssl req -x509 -new -key "$1.key" -subj "/CN=$2" -days 2 -out "$1.pem"; }
ca ca "Parley test CA"
ca other "Unrelated test CA"
key server
openssl req -new -key server.key -subj /CN=localhost -out server.csr
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' > server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile server.ext \
  -out server.pem)";
    const test::RunResult r = RunProcess({"/bin/sh", "-c", script, "sh", path});
    if (r.exit_status != 0) {
      ADD_FAILURE() << "openssl failed: " << r.err;
      path.clear();
    }
  }
  ~CertDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  std::string operator/(const char* name) const { return path + "/" + name; }
};

const CertDir& Certs() {
  static const CertDir dir;
  return dir;
}

// The TLS port named in the server's "listening on" line.
int TlsPort(test::ServerProcess& s) {
  const std::string err = s.Stderr();
  const size_t at = err.find(" (TLS)");
  const size_t colon = at == std::string::npos ? std::string::npos : err.rfind(':', at);
  return colon == std::string::npos ? 0 : std::atoi(err.c_str() + colon + 1);
}

std::vector<std::string> TlsArgs(std::vector<std::string> more = {}) {
  std::vector<std::string> args{"--tls-port", "0", "--tls-cert", Certs() / "server.pem", "--tls-key",
                                Certs() / "server.key"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

TlsOptions Verified(const std::string& ca = Certs() / "ca.pem") { return {true, ca, true, ""}; }

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Certs().path.empty());
    ASSERT_TRUE(server_.Start(TlsArgs())) << server_.Stderr();
    tls_port_ = static_cast<uint16_t>(TlsPort(server_));
    ASSERT_GT(tls_port_, 0) << server_.Stderr();
  }
  // A client connected to the TLS port with `tls`, or the failure.
  Result<> Open(Client& c, TlsOptions tls, const std::string& host = "127.0.0.1") {
    c.set_tls(std::move(tls));
    c.set_timeout(10s * test::kSlowdown);
    return c.Connect(host, tls_port_, 10s * test::kSlowdown);
  }
  // The server's own tally at a clean shutdown.
  void ExpectTlsFailures(int n) {
    ASSERT_EQ(server_.Stop(SIGTERM), 0) << server_.Stderr();
    EXPECT_NE(server_.Stderr().find("TLS failures " + std::to_string(n) + "\n"), std::string::npos)
        << server_.Stderr();
  }

  test::ServerProcess server_;
  uint16_t tls_port_ = 0;
};

// Every request kind works inside TLS, one by one and pipelined, and a long
// listing (a stream made as the socket drains) arrives whole.
TEST_F(TlsTest, RequestsAndPipelinesRoundTripWithVerification) {
  Client c, sub;
  ASSERT_TRUE(Open(c, Verified())) << Open(c, Verified()).error;
  ASSERT_TRUE(c.secure());
  ASSERT_TRUE(c.Register("alice") && c.Register("bob") && c.CreateChat("alice", "room") && c.JoinChat("bob", "room"));
  ASSERT_TRUE(Open(sub, Verified(), "localhost")) << "by name";
  ASSERT_EQ(sub.Subscribe("bob", "room").value, kNoMessage);
  ASSERT_TRUE(c.Send("alice", "room", "hello"));
  auto ids = c.List("room");
  ASSERT_TRUE(ids && ids.value.size() == 1);
  EXPECT_EQ(c.Fetch("room", ids.value[0]).value.body, "hello");
  EXPECT_TRUE(c.Edit("alice", "room", ids.value[0], "hello again"));
  EXPECT_EQ(c.Send("bob", "nowhere", "x").status, Status::kRefused);
  auto ev = sub.NextEvent(5s * test::kSlowdown);
  ASSERT_TRUE(ev) << ev.error;
  EXPECT_EQ(ev.value.body, "hello");
  ev = sub.NextEvent(5s * test::kSlowdown);
  ASSERT_TRUE(ev) << ev.error;
  EXPECT_EQ(ev.value.kind, EventKind::kEdit);

  constexpr int kBatch = 3000;  // larger than the socket buffers, on both sides
  const std::string body(300, 'b');
  for (int i = 0; i < kBatch; ++i) ASSERT_EQ(c.Queue(Request::Send("alice", "room", body)), Status::kOk);
  ASSERT_EQ(c.Queue(Request::List("room")), Status::kOk);
  for (int i = 0; i < kBatch; ++i) ASSERT_TRUE(c.ReadReply()) << i;
  auto listing = c.ReadReply();
  ASSERT_TRUE(listing) << listing.error;
  EXPECT_EQ(std::get<std::vector<MessageId>>(listing.value).size(), kBatch + 1u);
  auto page = c.History("room", kNoMessage, 2);
  ASSERT_TRUE(page) << page.error;
  EXPECT_EQ(page.value.entries[0].body, "hello again");
  for (int i = 0; i < kBatch; ++i) ASSERT_TRUE(sub.NextEvent(5s * test::kSlowdown)) << i;
  ExpectTlsFailures(0);
}

// A server the client cannot verify is refused before any request is sent,
// and the server serves on, logging the handshakes the client broke off.
TEST_F(TlsTest, ClientRefusesServersItCannotVerify) {
  struct Case {
    const char* what;
    TlsOptions tls;
    const char* host;
    const char* error;  // empty: connects
  };
  const Case cases[] = {
      {"unrelated CA", Verified(Certs() / "other.pem"), "127.0.0.1", "TLS: certificate verify failed"},
      {"wrong name", {true, Certs() / "ca.pem", true, "chat.example.org"}, "127.0.0.1",
       "TLS: certificate verify failed"},
      {"wrong address", Verified(), "127.0.0.2", "TLS: certificate verify failed"},
      {"no CA file", Verified(Certs() / "missing.pem"), "127.0.0.1", "TLS: cannot load the CA certificates"},
      {"unverified", {true, Certs() / "other.pem", false, "chat.example.org"}, "127.0.0.1", ""},
  };
  for (const Case& k : cases) {
    Client c;
    const Result<> r = Open(c, k.tls, k.host);
    if (*k.error == '\0') {
      EXPECT_TRUE(r) << k.what << ": " << r.error;
      EXPECT_TRUE(c.Register(std::string("user-") + k.what)) << k.what;
      continue;
    }
    EXPECT_EQ(r.status, Status::kConnectionLost) << k.what;
    EXPECT_EQ(r.error.rfind(k.error, 0), 0u) << k.what << ": " << r.error;
    EXPECT_FALSE(c.connected()) << k.what;
    Client good;
    ASSERT_TRUE(Open(good, Verified())) << k.what;
    EXPECT_TRUE(good.Register(std::string("after-") + k.what)) << k.what;
  }
  // (How many of the clients' alerts the server reads before their resets is up to timing.)
  EXPECT_TRUE(server_.WaitStderr("TLS handshake failed")) << server_.Stderr();
  EXPECT_EQ(server_.Stop(SIGTERM), 0) << server_.Stderr();
}

// A client speaking the plain protocol to the TLS port is closed; others are
// served, on both ports.
TEST_F(TlsTest, PlainClientOnTheTlsPortIsClosed) {
  test::Peer plain_on_tls, plain;
  ASSERT_TRUE(plain_on_tls.Connect(tls_port_));
  ASSERT_TRUE(plain_on_tls.Send(test::Register("mallory")));
  while (plain_on_tls.Read(1)) {
  }  // an alert, perhaps
  EXPECT_TRUE(plain_on_tls.WaitEof(After(1s)));
  EXPECT_TRUE(server_.WaitStderr("TLS handshake failed")) << server_.Stderr();
  ASSERT_TRUE(plain.Connect(server_.port()));
  EXPECT_EQ(plain.Status(test::Register("carol")), true);
  Client c;
  ASSERT_TRUE(Open(c, Verified()));
  EXPECT_EQ(c.Register("mallory").status, Status::kOk) << "the plain attempt registered nobody";
  ExpectTlsFailures(1);
}

// Several senders over TLS at once, with a subscriber: every message arrives
// once, on the subscriber's connection too.
TEST_F(TlsTest, ConcurrentSendersAndASubscriber) {
  constexpr int kSenders = 4, kEach = 300;
  Client admin, sub;
  ASSERT_TRUE(Open(admin, Verified()) && Open(sub, Verified()));
  ASSERT_TRUE(admin.Register("owner") && admin.CreateChat("owner", "hall"));
  ASSERT_TRUE(sub.Subscribe("owner", "hall"));
  std::vector<std::thread> senders;
  std::atomic<int> ok{0};
  for (int t = 0; t < kSenders; ++t)
    senders.emplace_back([&, t] {
      Client c;
      const std::string user = "sender" + std::to_string(t);
      if (!Open(c, Verified()) || !c.Register(user) || !c.JoinChat(user, "hall")) return;
      for (int i = 0; i < kEach; ++i) c.Queue(Request::Send(user, "hall", std::to_string(i)));
      for (int i = 0; i < kEach; ++i) ok += c.ReadReply().ok() ? 1 : 0;
    });
  for (auto& t : senders) t.join();
  ASSERT_EQ(ok.load(), kSenders * kEach);
  std::map<std::string, int> next;  // per sender, the bodies come in order
  for (int i = 0; i < kSenders * kEach; ++i) {
    auto ev = sub.NextEvent(5s * test::kSlowdown);
    ASSERT_TRUE(ev) << i << ": " << ev.error;
    EXPECT_EQ(ev.value.body, std::to_string(next[ev.value.sender]++)) << ev.value.sender;
  }
  EXPECT_EQ(admin.List("hall").value.size(), static_cast<size_t>(kSenders * kEach));
  ExpectTlsFailures(0);
}

// A handshake dribbled byte by byte is closed at the frame timeout counted
// from the accept; the server answers others meanwhile.
TEST(TlsServer, SlowHandshakeIsClosedAtTheFrameTimeout) {
  test::ServerProcess server;
  ASSERT_TRUE(server.Start(TlsArgs({"--frame-timeout", "1"}))) << server.Stderr();
  test::Peer slow;
  ASSERT_TRUE(slow.Connect(TlsPort(server)));
  // A ClientHello record announcing 512 bytes, of which only the start comes.
  const std::string hello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
  const auto start = test::Clock::now();
  bool closed = false;
  for (size_t i = 0; !closed && test::Clock::now() - start < 6s * test::kSlowdown; ++i) {
    slow.Send(i < hello.size() ? hello.substr(i, 1) : std::string(1, 'x'));
    closed = slow.WaitEof(After(200ms));
  }
  EXPECT_TRUE(closed);
  EXPECT_GE(test::Clock::now() - start, 900ms);
  EXPECT_TRUE(server.WaitStderr("the TLS handshake stayed unfinished")) << server.Stderr();
  Client c;
  c.set_tls(Verified());
  ASSERT_TRUE(c.Connect("127.0.0.1", static_cast<uint16_t>(TlsPort(server))));
  EXPECT_TRUE(c.Register("patient"));
  EXPECT_EQ(server.Stop(SIGTERM), 0);
}

TEST(TlsServer, NoPlainMeansNoPlainListener) {
  const int plain_port = test::ClosedLoopbackPort();
  test::ServerProcess server;
  ASSERT_TRUE(server.Start(TlsArgs({"--port", std::to_string(plain_port), "--no-plain"}))) << server.Stderr();
  test::Peer plain;
  EXPECT_FALSE(plain.Connect(plain_port));
  Client c;
  c.set_tls(Verified());
  ASSERT_TRUE(c.Connect("127.0.0.1", static_cast<uint16_t>(TlsPort(server))));
  EXPECT_TRUE(c.Register("only-tls"));
  EXPECT_EQ(server.Stop(SIGTERM), 0);
}

TEST(TlsServer, UnusableCertificateOrKeyStopsTheStart) {
  const struct {
    std::string cert, key, error;
  } cases[] = {
      {Certs() / "missing.pem", Certs() / "server.key", "cannot load the TLS certificate chain"},
      {Certs() / "server.pem", Certs() / "server.pem", "cannot load the TLS private key"},
      {Certs() / "server.pem", Certs() / "other.key", "key values mismatch"},
  };
  for (const auto& k : cases) {
    const test::RunResult r =
        RunProcess({PARLEYD_PATH, "--port", "0", "--tls-port", "0", "--tls-cert", k.cert, "--tls-key", k.key}, "", 10s);
    EXPECT_EQ(r.exit_status, 1) << k.error;
    EXPECT_NE(r.err.find(k.error), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("listening"), std::string::npos) << r.err;
  }
}

// `parley --tls`: verified against --cacert, refused against the wrong CA, unverified with --insecure.
TEST_F(TlsTest, CliRoundTrip) {
  const std::string port = "--port=" + std::to_string(tls_port_);
  const struct {
    std::vector<std::string> args;
    int exit_status;
    std::string out, err;
  } cases[] = {
      {{"--tls", "--cacert", Certs() / "ca.pem", "register", "dave"}, 0, "ok\n", ""},
      {{"--tls", "--cacert=" + Certs() / "ca.pem", "create", "dave", "den"}, 0, "ok\n", ""},
      {{"--tls", "--cacert", Certs() / "other.pem", "list", "den"}, 3, "", "certificate verify failed"},
      {{"--insecure", "list", "den"}, 2, "", "--cacert and --insecure need --tls"},
      {{"--tls", "--insecure", "send", "dave", "den", "hi"}, 0, "ok\n", ""},
      {{"--tls", "--cacert", Certs() / "ca.pem", "--host", "localhost", "history", "den"}, 0, "dave: hi", ""},
  };
  for (const auto& k : cases) {
    std::vector<std::string> argv{PARLEY_CLI_PATH, port};
    argv.insert(argv.end(), k.args.begin(), k.args.end());
    const test::RunResult r = RunProcess(argv);
    EXPECT_EQ(r.exit_status, k.exit_status) << k.args.back() << ": " << r.err;
    EXPECT_EQ(r.out.empty(), k.out.empty()) << k.args.back() << ": " << r.out;
    EXPECT_NE(r.out.find(k.out), std::string::npos) << k.args.back() << ": " << r.out;
    EXPECT_NE(r.err.find(k.err), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace parley
