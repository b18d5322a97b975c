// The nine request kinds run against a store, checked by the replies they encode.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/Events.h"
#include "store/ResourceManager.h"

namespace parley {
namespace {

using namespace std::string_literals;
using wire::FrameBuilder;

class Requests : public ::testing::Test {
 protected:
  std::unique_ptr<ResourceManager> rm = ResourceManager::CreateStandalone();

  // Decodes the payload of `frame`, runs it, and returns its reply frames'
  // bodies (after the type code), checking each echoes the type.
  std::vector<std::string> Run(const std::string& frame) {
    auto ev = DecodeRequest(frame.data() + 4, frame.size() - 4);
    EXPECT_TRUE(ev);
    if (!ev) return {};
    std::string out;
    ev->SetOutput(&out);
    const bool ok = ev->Process(rm.get());
    std::vector<std::string> bodies;
    while (!out.empty()) {
      auto split = wire::SplitFrame(out);
      EXPECT_TRUE(split.ok);
      if (!split.ok) break;
      EXPECT_EQ(split.frame.type, ev->GetType());
      bodies.emplace_back(split.frame.body);
      out.erase(0, split.consumed);
    }
    EXPECT_FALSE(bodies.empty());
    if (!bodies.empty()) {
      EXPECT_EQ(ok, bodies[0] == Ok()) << "Process result must match the status";
    }
    return bodies;
  }
  static std::string Status(const char* s) { return "\x02\0\0\0\0\0\0\0"s + s; }
  static std::string Ok() { return Status("ok"); }
  static std::string No() { return Status("no"); }
  std::string Reply(const std::string& frame) { return Run(frame).at(0); }

  static std::string Reg(const std::string& u) {
    std::string f;
    FrameBuilder(f, EV_REGISTER).String(u).End();
    return f;
  }
  static std::string Create(const std::string& u, const std::string& c) {
    std::string f;
    FrameBuilder(f, EV_CREATECHAT).String(u).String(c).End();
    return f;
  }
  static std::string Join(const std::string& u, const std::string& c) {
    std::string f;
    FrameBuilder(f, EV_JOINCHAT).String(u).String(c).End();
    return f;
  }
  static std::string Send(const std::string& u, const std::string& c, const std::string& b) {
    std::string f;
    FrameBuilder(f, EV_SENGMSG).String(u).String(c).String(b).End();
    return f;
  }
  static std::string Edit(const std::string& u, const std::string& c, MessageId id, const std::string& b) {
    std::string f;
    FrameBuilder(f, EV_EDITMSG).String(u).String(c).Int(static_cast<uint64_t>(id)).String(b).End();
    return f;
  }
  static std::string Del(const std::string& u, const std::string& c, MessageId id) {
    std::string f;
    FrameBuilder(f, EV_DELETEMSG).String(u).String(c).Int(static_cast<uint64_t>(id)).End();
    return f;
  }
  static std::string Fwd(const std::string& u, const std::string& c, const std::string& to, MessageId id) {
    std::string f;
    FrameBuilder(f, EV_FORWARDMSG).String(u).String(c).String(to).Int(static_cast<uint64_t>(id)).End();
    return f;
  }
  static std::string Get(const std::string& c, MessageId id) {
    std::string f;
    FrameBuilder(f, EV_GETMSG).String(c).Int(static_cast<uint64_t>(id)).End();
    return f;
  }
  static std::string List(const std::string& c) {
    std::string f;
    FrameBuilder(f, EV_GETCHAT).String(c).End();
    return f;
  }
  std::vector<MessageId> Ids(const std::string& chat) {
    auto r = Run(List(chat));
    if (r.size() != 2) return {};
    auto ids = wire::BodyReader(r[1]).IdList();
    if (!ids) return {};
    return {ids->begin(), ids->end()};
  }
};

TEST_F(Requests, StatusRepliesFollowTheRules) {
  ASSERT_EQ(Reply(Reg("abc")), Ok());
  ASSERT_EQ(Reply(Reg("bob")), Ok());
  ASSERT_EQ(Reply(Reg("eve")), Ok());
  ASSERT_EQ(Reply(Create("abc", "room")), Ok());
  ASSERT_EQ(Reply(Create("eve", "eden")), Ok());
  ASSERT_EQ(Reply(Join("bob", "room")), Ok());
  ASSERT_EQ(Reply(Send("abc", "room", "hi")), Ok());
  const MessageId mine = Ids("room").back();

  struct Case {
    const char* what;
    std::string request;
    bool ok;
  } cases[] = {
      {"register a taken name", Reg("abc"), false},
      {"register a name cut at a zero byte to a taken one", Reg("abc\0x"s), false},
      {"create by an unknown user", Create("ghost", "free"), false},
      {"create a taken name, even by its creator", Create("abc", "room"), false},
      {"join by a member", Join("abc", "room"), true},
      {"join an unknown chat", Join("bob", "nowhere"), false},
      {"join by an unknown user", Join("ghost", "room"), false},
      {"send by a registered non-member", Send("eve", "room", "x"), false},
      {"send by an unknown user to an unknown chat", Send("ghost", "nowhere", "x"), false},
      {"edit by a member, not the sender", Edit("bob", "room", mine, "x"), false},
      {"edit an id no message has", Edit("abc", "room", mine + 1000, "x"), false},
      {"edit by a non-member", Edit("eve", "room", mine, "x"), false},
      {"delete by someone else", Del("bob", "room", mine), false},
      {"delete an unknown id", Del("abc", "room", 12345), false},
      {"forward into an unknown chat", Fwd("bob", "room", "nowhere", mine), false},
      {"forward into a chat the user is not in", Fwd("bob", "room", "eden", mine), false},
      {"forward an unknown id", Fwd("bob", "room", "room", mine + 1000), false},
      {"fetch from an unknown chat", Get("nowhere", mine), false},
      {"fetch an id of another chat", Get("eden", mine), false},
      {"list an unknown chat", List("nowhere"), false},
      {"forward by a member of the target", Fwd("bob", "room", "room", mine), true},
      {"edit own message", Edit("abc", "room", mine, "hello"), true},
  };
  for (const auto& c : cases) {
    auto r = Run(c.request);
    ASSERT_FALSE(r.empty()) << c.what;
    EXPECT_EQ(r[0], c.ok ? Ok() : No()) << c.what;
    if (!c.ok) {
      EXPECT_EQ(r.size(), 1u) << "a refusal is one frame: " << c.what;
    }
  }
  EXPECT_EQ(Ids("room").size(), 2u);
}

TEST_F(Requests, DataRepliesCarryListsAndMessages) {
  ASSERT_EQ(Reply(Reg("abc")), Ok());
  ASSERT_EQ(Reply(Create("abc", "c1")), Ok());
  auto empty = Run(List("c1"));
  ASSERT_EQ(empty.size(), 2u);
  EXPECT_EQ(empty[1], std::string(8, '\0'));

  ASSERT_EQ(Reply(Send("abc", "c1", "hi")), Ok());
  ASSERT_EQ(Reply(Send("abc", "c1", "")), Ok());  // empty body is a message too
  ASSERT_EQ(Reply(Send("abc", "c1", "z\0z"s)), Ok());
  auto ids = Ids("c1");
  ASSERT_EQ(ids.size(), 3u);

  auto hi = Run(Get("c1", ids[0]));
  ASSERT_EQ(hi.size(), 2u);
  EXPECT_EQ(hi[1], "\3\0\0\0\0\0\0\0abc\2\0\0\0\0\0\0\0hi"s);
  EXPECT_EQ(Run(Get("c1", ids[1]))[1], "\3\0\0\0\0\0\0\0abc\0\0\0\0\0\0\0\0"s);
  EXPECT_EQ(Run(Get("c1", ids[2]))[1], "\3\0\0\0\0\0\0\0abc\3\0\0\0\0\0\0\0z\0z"s);

  // Deleting (also the empty one) unlists and unfetches; twice is "no".
  EXPECT_EQ(Reply(Del("abc", "c1", ids[1])), Ok());
  EXPECT_EQ(Reply(Del("abc", "c1", ids[1])), No());
  EXPECT_EQ(Reply(Get("c1", ids[1])), No());
  EXPECT_EQ(Ids("c1"), (std::vector<MessageId>{ids[0], ids[2]}));
}

}  // namespace
}  // namespace parley
