// Oracles for the fuzz targets, written plainly from the protocol's rules
// (docs/protocol.md), not from the server's code: a frame cutter, a request
// decoder and a model of the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Wire.h"

// A failed check prints what and where, then aborts so that the input is reported.
#define FUZZ_CHECK(cond, what)                                                    \
  do {                                                                            \
    if (!(cond)) {                                                                \
      std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, \
                   #cond, what);                                                  \
      std::abort();                                                               \
    }                                                                             \
  } while (0)

namespace parley::fuzz {

// One thing the frame cutter reports: a payload, or a rejected length prefix.
struct CutEvent {
  bool bad = false;
  int32_t len = 0;      // the rejected prefix when bad
  std::string payload;  // the frame's payload otherwise
  bool operator==(const CutEvent&) const = default;
};

// Every complete frame and rejected prefix of `s`, in order; returns the bytes consumed.
inline size_t ReferenceCut(std::string_view s, std::vector<CutEvent>& out) {
  size_t pos = 0;
  for (;;) {
    if (s.size() - pos < 4) return pos;
    const int32_t len = wire::LoadI32(s.data() + pos);
    if (len == -1) {
      pos += 4;
    } else if (len < 1 || len > wire::kMaxPayload) {
      out.push_back({true, len, {}});
      pos += 4;
    } else if (s.size() - pos - 4 < static_cast<size_t>(len)) {
      return pos;  // an incomplete frame: wait for more
    } else {
      out.push_back({false, 0, std::string(s.substr(pos + 4, static_cast<size_t>(len)))});
      pos += 4 + static_cast<size_t>(len);
    }
  }
}

// A decoded request, fields by kind. Names are already cut at their first zero.
struct Request {
  uint64_t type = 0;
  std::vector<std::string> strings;  // in wire order
  uint64_t id = 0;                   // the first integer field, when the kind has one
  uint64_t max = 0;                  // the second (a history page's size)
  size_t consumed = 0;               // payload bytes the fields used, type code included
};

// The field layout of each request kind: 'n' a name, 'b' a body or a
// secret (taken whole), 'i' an integer, 'm' a second integer.
inline const char* Layout(uint64_t type) {
  static const char* const kLayouts[] = {"n",  "nn", "nn",  "nnb", "nnib", "nni", "nnni", "ni",
                                         "n",  "nn", "nn",  "nim", "nb",   "nb",  "nbb"};
  return type <= wire::kLastEventId ? kLayouts[type] : nullptr;
}

// The fields of kind `type` from `body` (after the type code); nothing when one does not fit.
inline std::optional<Request> ReferenceDecodeBody(uint64_t type, std::string_view body) {
  const char* layout = Layout(type);
  if (layout == nullptr) return std::nullopt;
  Request r;
  r.type = type;
  size_t pos = 0;
  for (const char* f = layout; *f != '\0'; ++f) {
    if (body.size() - pos < 8) return std::nullopt;
    const uint64_t v = wire::LoadU64(body.data() + pos);
    pos += 8;
    if (*f == 'i' || *f == 'm') {
      (*f == 'i' ? r.id : r.max) = v;
      continue;
    }
    if (v > body.size() - pos) return std::nullopt;
    std::string s(body.substr(pos, static_cast<size_t>(v)));
    pos += static_cast<size_t>(v);
    if (*f == 'n') s = s.substr(0, s.find('\0'));
    r.strings.push_back(std::move(s));
  }
  r.consumed = 8 + pos;
  return r;
}

// Decodes a whole payload (type code first).
inline std::optional<Request> ReferenceDecode(std::string_view payload) {
  if (payload.size() < 8) return std::nullopt;
  return ReferenceDecodeBody(wire::LoadU64(payload.data()), payload.substr(8));
}

// What the server must answer to a request.
struct Expected {
  bool ok = false;
  // The data frame after an "ok" to a list (ids) or a fetch (sender, body).
  std::vector<int64_t> ids;
  std::string sender, body;
  // After an "ok" to a history request: the page, and whether more follow.
  struct Entry {
    int64_t id;
    bool deleted;
    std::string sender, body;
    bool operator==(const Entry&) const = default;
  };
  std::vector<Entry> page;
  bool more = false;
};

// Users, chats, members and messages, kept the obvious way; the ids are the
// server's to choose (LearnId), and must never be reused.
class StoreModel {
 public:
  // The answer the server must give to `r`; after an "ok" to a send or forward, call LearnId.
  Expected Apply(const Request& r) {
    const auto& s = r.strings;
    const int64_t id = static_cast<int64_t>(r.id);
    Expected e;
    switch (r.type) {
      case wire::EV_REGISTER:
        e.ok = users_.emplace(s[0], std::nullopt).second;
        break;
      // A secret is 1 to kMaxSecretBytes bytes; only an account made with one has one.
      case wire::EV_REGISTER_SECRET:
        e.ok = Acceptable(s[1]) && users_.emplace(s[0], s[1]).second;
        break;
      case wire::EV_LOGIN:
        e.ok = Acceptable(s[1]) && SecretIs(s[0], s[1]);
        break;
      case wire::EV_CHANGE_SECRET:
        e.ok = Acceptable(s[1]) && Acceptable(s[2]) && SecretIs(s[0], s[1]);
        if (e.ok) users_[s[0]] = s[2];
        break;
      case wire::EV_CREATECHAT:
        e.ok = users_.count(s[0]) != 0 && chats_.count(s[1]) == 0;
        if (e.ok) chats_[s[1]].members.insert(s[0]);
        break;
      case wire::EV_JOINCHAT:
        e.ok = users_.count(s[0]) != 0 && chats_.count(s[1]) != 0;
        if (e.ok) chats_[s[1]].members.insert(s[0]);
        break;
      case wire::EV_SENGMSG:
        e.ok = IsMember(s[0], s[1]);
        if (e.ok) Post(s[1], s[0], s[2]);
        break;
      case wire::EV_EDITMSG: {
        Msg* m = IsMember(s[0], s[1]) ? Find(s[1], id) : nullptr;
        e.ok = m != nullptr && m->sender == s[0];
        if (e.ok) m->body = s[2];
        break;
      }
      case wire::EV_DELETEMSG: {
        Msg* m = users_.count(s[0]) != 0 ? Find(s[1], id) : nullptr;
        e.ok = m != nullptr && m->sender == s[0];
        if (e.ok) m->active = false;
        break;
      }
      case wire::EV_FORWARDMSG: {
        Msg* m = users_.count(s[0]) != 0 && IsMember(s[0], s[2]) ? Find(s[1], id) : nullptr;
        e.ok = m != nullptr;
        if (e.ok) Post(s[2], s[0], std::string(m->body));
        break;
      }
      case wire::EV_GETMSG: {
        Msg* m = Find(s[0], id);
        e.ok = m != nullptr;
        if (e.ok) {
          e.sender = m->sender;
          e.body = m->body;
        }
        break;
      }
      case wire::EV_GETCHAT: {
        auto it = chats_.find(s[0]);
        e.ok = it != chats_.end();
        if (e.ok)
          for (const Msg& m : it->second.msgs)
            if (m.active) e.ids.push_back(m.id);
        break;
      }
      case wire::EV_SUBSCRIBE:
      case wire::EV_UNSUBSCRIBE:
        e.ok = false;  // processed without a connection: there is nothing to follow
        break;
      case wire::EV_HISTORY: {
        // Messages after `id` (an id the chat handed out, or -1), deleted ones
        // with no sender or body, at most `max` (and 1000) and 256 KiB.
        auto it = chats_.find(s[0]);
        if (it == chats_.end()) break;
        const auto& msgs = it->second.msgs;
        size_t from = 0;
        if (id != -1) {
          while (from < msgs.size() && msgs[from].id != id) ++from;
          if (from == msgs.size()) break;
          ++from;
        }
        e.ok = true;
        size_t bytes = 0;
        for (; from < msgs.size() && e.page.size() < std::min<uint64_t>(r.max, 1000); ++from) {
          const Msg& m = msgs[from];
          const size_t size = 32 + (m.active ? m.sender.size() + m.body.size() : 0);
          if (!e.page.empty() && bytes + size > (256u << 10)) break;
          bytes += size;
          e.page.push_back({m.id, !m.active, m.active ? m.sender : "", m.active ? m.body : ""});
        }
        e.more = from < msgs.size();
        break;
      }
      default:
        FUZZ_CHECK(false, "not a request kind");
    }
    return e;
  }

  // The id the server gave the message the last Apply posted.
  void LearnId(int64_t id) {
    FUZZ_CHECK(pending_ != nullptr, "no message was posted");
    FUZZ_CHECK(id >= 0, "message ids are never negative");
    FUZZ_CHECK(seen_ids_.insert(id).second, "a message id was handed out twice");
    pending_->id = id;
    pending_ = nullptr;
  }

 private:
  struct Msg {
    int64_t id = -1;
    std::string sender, body;
    bool active = true;
  };
  struct ChatModel {
    std::set<std::string> members;
    std::vector<Msg> msgs;
  };

  static bool Acceptable(const std::string& secret) {
    return !secret.empty() && secret.size() <= wire::kMaxSecretBytes;
  }
  bool SecretIs(const std::string& user, const std::string& secret) const {
    auto it = users_.find(user);
    return it != users_.end() && it->second == secret;
  }
  bool IsMember(const std::string& user, const std::string& chat) const {
    auto it = chats_.find(chat);
    return users_.count(user) != 0 && it != chats_.end() && it->second.members.count(user) != 0;
  }
  Msg* Find(const std::string& chat, int64_t id) {
    auto it = chats_.find(chat);
    if (it == chats_.end()) return nullptr;
    for (Msg& m : it->second.msgs)
      if (m.id == id && m.active) return &m;
    return nullptr;
  }
  void Post(const std::string& chat, const std::string& sender, std::string body) {
    auto& msgs = chats_[chat].msgs;
    msgs.push_back(Msg{-1, sender, std::move(body), true});
    pending_ = &msgs.back();
  }

  std::map<std::string, std::optional<std::string>> users_;  // name -> secret
  std::map<std::string, ChatModel> chats_;
  std::set<int64_t> seen_ids_;
  Msg* pending_ = nullptr;
};

}  // namespace parley::fuzz
