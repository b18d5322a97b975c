#include "protocol/Events.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "Limits.h"
#include "protocol/RequestBlocks.h"
#include "push/PushHub.h"
#include "net/Connection.h"
#include "security/Access.h"
#include "security/LoginThrottle.h"
#include "security/Secrets.h"
#include "store/ResourceManager.h"

namespace parley {

using wire::kWordSize;
using wire::LoadU64;
using wire::PutU32;
using wire::PutU64;

// ---- Field codec -----------------------------------------------------------

std::pair<std::string_view, size_t> ExtractString(const char* pos, size_t remaining) {
  if (remaining < kWordSize) return {{}, kDecodeFail};
  const uint64_t len = LoadU64(pos);
  if (len > remaining - kWordSize) return {{}, kDecodeFail};
  return {std::string_view(pos + kWordSize, static_cast<size_t>(len)), static_cast<size_t>(len) + kWordSize};
}

std::pair<size_t, size_t> ExtractInt(const char* pos, size_t remaining) {
  if (remaining < kWordSize) return {0, kDecodeFail};
  return {static_cast<size_t>(LoadU64(pos)), kWordSize};
}

std::pair<std::vector<size_t>, size_t> ExtractArr(const char* pos, size_t remaining) {
  if (remaining < kWordSize) return {{}, kDecodeFail};
  const uint64_t count = LoadU64(pos);
  if (count > (remaining - kWordSize) / kWordSize) return {{}, kDecodeFail};
  std::vector<size_t> values;
  values.reserve(static_cast<size_t>(count));
  for (uint64_t i = 0; i < count; ++i) values.push_back(static_cast<size_t>(LoadU64(pos + kWordSize * (i + 1))));
  return {std::move(values), kWordSize * (static_cast<size_t>(count) + 1)};
}

// The decoding steps every GetFromBuf is written with. Each READ_* step reads
// one field at cursor B with R bytes left, returns an empty result from the
// decoder on failure, and otherwise advances B and shrinks R.
#define SETUP_ID                                  \
  if (len < sizeof(size_t)) return {};            \
  size_t remaining = len;                         \
  (void)remaining;

#define READ_FIELD(Extract, Name, B, R) \
  auto Name = Extract(B, R);            \
  if (Name.second == kDecodeFail) return {}; \
  B += Name.second;                     \
  R -= Name.second;

#define READ_STRING(Name, B, R) READ_FIELD(ExtractString, Name, B, R)
#define READ_INT(Name, B, R) READ_FIELD(ExtractInt, Name, B, R)
#define READ_ARR(Name, B, R) READ_FIELD(ExtractArr, Name, B, R)

// ---- Replies ---------------------------------------------------------------

Event::~Event() = default;

bool Event::Process(ResourceManager*) { return false; }

bool Event::Run(ResourceManager* rm) {
  Access& access = Access::Get();
  if (access.Unrestricted()) return Process(rm);
  if (!access.Allows(*this, *rm)) return SendStatus(false);
  const bool ok = Process(rm);
  if (ok) access.Charge(*this);
  return ok;
}

namespace {

// A data reply's header: frame length, type, length of the `n` bytes that follow.
constexpr size_t kDataHeader = 4 + 2 * kWordSize;
char* PutDataHeader(char* at, uint64_t type, size_t n) {
  wire::StoreU32(at, static_cast<uint32_t>(n + 2 * kWordSize));
  wire::StoreU64(at + 4, type);
  wire::StoreU64(at + 4 + kWordSize, n);
  return at + kDataHeader;
}

}  // namespace

void Event::SendData(const char* content, int size) {
  std::string* o = Output();
  if (o == nullptr) return;
  const size_t n = size > 0 ? static_cast<size_t>(size) : 0;
  char head[kDataHeader];
  PutDataHeader(head, type, n);
  o->append(head, sizeof head).append(content, n);
}

bool Event::SendStatus(bool ok) {
  std::string* o = Output();
  if (o == nullptr) return ok;
  // The whole frame in one append.
  char frame[kDataHeader + 2];
  std::memcpy(PutDataHeader(frame, type, 2), ok ? "ok" : "no", 2);
  o->append(frame, sizeof frame);
  return ok;
}

void Event::SendVector(const std::vector<MessageId>& msg) {
  std::string* o = Output();
  if (o == nullptr) return;
  PutU32(*o, static_cast<uint32_t>((msg.size() + 2) * kWordSize));
  PutU64(*o, type);
  PutU64(*o, msg.size());
  for (MessageId id : msg) PutU64(*o, static_cast<uint64_t>(id));
}

void Event::SendMessage(const MessageView& msg) {
  std::string* o = Output();
  if (o == nullptr) return;
  char head[4 + 2 * kWordSize];
  wire::StoreU32(head, static_cast<uint32_t>(msg.sender.size() + msg.body.size() + 24));
  wire::StoreU64(head + 4, type);
  wire::StoreU64(head + 4 + kWordSize, msg.sender.size());
  char body_size[kWordSize];
  wire::StoreU64(body_size, msg.body.size());
  o->reserve(o->size() + sizeof head + msg.sender.size() + sizeof body_size + msg.body.size());
  o->append(head, sizeof head).append(msg.sender).append(body_size, sizeof body_size).append(msg.body);
}

void Event::SendStream(std::unique_ptr<ReplyStream> stream) {
  if (replies != nullptr) {
    replies->AddStream(std::move(stream));
  } else if (out != nullptr) {
    while (!stream->Produce(*out, kListingWindow)) {
    }
  }
}

namespace {

// The ids of a listing reply, encoded as the socket drains. The frame's
// header (length, type, count) is sent before; this adds the ids.
// Appends about `budget` bytes of the listing's next ids to `out`, looking
// at a bounded number of positions however many turn out deleted. True once
// the listing is done.
bool AppendIds(MessageStorage::Listing& listing, std::string& out, size_t budget) {
  thread_local std::vector<MessageId> ids;
  size_t scan_left = std::max<size_t>(budget / kWordSize, 1) * 4;
  size_t produced = 0;
  while (produced < budget && scan_left > 0 && !listing.done()) {
    const size_t step = std::min<size_t>(scan_left, 4096);
    ids.clear();
    listing.Next(ids, step);
    scan_left -= step;
    const size_t at = out.size();
    out.resize(at + ids.size() * kWordSize);
    for (size_t i = 0; i < ids.size(); ++i) wire::StoreU64(out.data() + at + i * kWordSize, static_cast<uint64_t>(ids[i]));
    produced += ids.size() * kWordSize;
  }
  return listing.done();
}

class ListStream final : public ReplyStream {
 public:
  explicit ListStream(std::unique_ptr<MessageStorage::Listing> listing) : listing_(std::move(listing)) {}
  bool Produce(std::string& out, size_t budget) override { return AppendIds(*listing_, out, budget); }
  size_t PendingCost() const override {
    return sizeof(*this) + std::min(listing_->remaining() * kWordSize, kListingWindow);
  }

 private:
  std::unique_ptr<MessageStorage::Listing> listing_;
};

}  // namespace

// ---- Decoders --------------------------------------------------------------

namespace {

// Allocates a request's control block and object followed by `extra` bytes,
// in one block (recycled: RequestBlocks.h), and tells `*tail` where those
// bytes begin.
template <class T>
struct WithTail {
  using value_type = T;
  WithTail(size_t bytes, char** where) : extra(bytes), tail(where) {}
  template <class U>
  WithTail(const WithTail<U>& o) : extra(o.extra), tail(o.tail) {}
  T* allocate(size_t n) {
    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    char* block = request_blocks::Take(n * sizeof(T) + extra);
    *tail = block + n * sizeof(T);
    return reinterpret_cast<T*>(block);
  }
  void deallocate(T* p, size_t n) {
    request_blocks::Give(reinterpret_cast<char*>(p), n * sizeof(T) + extra);
  }
  template <class U>
  bool operator==(const WithTail<U>& o) const {
    return extra == o.extra;
  }
  size_t extra;
  char** tail;  // read by allocate only, while the request is made
};

// A string field on its way into a request: turned into the view its
// constructor keeps, it copies its bytes to the tail and moves the tail on.
struct Copied {
  std::string_view from;
  char** tail;
  operator std::string_view() const {  // NOLINT(google-explicit-constructor): taken as a view
    char* at = *tail;
    if (!from.empty()) std::memcpy(at, from.data(), from.size());
    *tail += from.size();
    return {at, from.size()};
  }
};

inline size_t BytesOf(std::string_view s) { return s.size(); }
inline size_t BytesOf(uint64_t) { return 0; }
inline size_t BytesOf(MessageId) { return 0; }
inline Copied Keep(std::string_view s, char** tail) { return {s, tail}; }
inline uint64_t Keep(uint64_t v, char**) { return v; }
inline MessageId Keep(MessageId v, char**) { return v; }

// A request of kind T made from its fields (views into the frame, and
// integers), with one allocation for the request and its fields' bytes.
template <class T, class... Fields>
std::shared_ptr<Event> MakeRequest(Fields... fields) {
  const size_t bytes = (size_t{0} + ... + BytesOf(fields));
  char* tail = nullptr;
  return std::allocate_shared<T>(WithTail<T>(bytes, &tail), Keep(fields, &tail)...);
}

}  // namespace


std::shared_ptr<Event> RegisterAccount::GetFromBuf(const char* buf, size_t len) {
  SETUP_ID
  READ_STRING(user, buf, remaining)
  return MakeRequest<RegisterAccount>(CutAtZero(user.first));
}

std::shared_ptr<Event> CreateChat::GetFromBuf(const char* buf, size_t len) {
  SETUP_ID
  READ_STRING(user, buf, remaining)
  READ_STRING(chat, buf, remaining)
  return MakeRequest<CreateChat>(CutAtZero(user.first), CutAtZero(chat.first));
}

std::shared_ptr<Event> JoinChat::GetFromBuf(const char* buf, size_t len) {
  SETUP_ID
  READ_STRING(user, buf, remaining)
  READ_STRING(chat, buf, remaining)
  return MakeRequest<JoinChat>(CutAtZero(user.first), CutAtZero(chat.first));
}

std::shared_ptr<Event> SendMsg::GetFromBuf(const char* buf, size_t len) {
  SETUP_ID
  READ_STRING(user, buf, remaining)
  READ_STRING(chat, buf, remaining)
  READ_STRING(body, buf, remaining)
  return MakeRequest<SendMsg>(CutAtZero(user.first), CutAtZero(chat.first), body.first);
}

std::shared_ptr<Event> EditMsg::GetFromBuf(const char* buf, size_t len) {
  SETUP_ID
  READ_STRING(user, buf, remaining)
  READ_STRING(chat, buf, remaining)
  READ_INT(id, buf, remaining)
  READ_STRING(body, buf, remaining)
  return MakeRequest<EditMsg>(CutAtZero(user.first), CutAtZero(chat.first),
                                   static_cast<MessageId>(id.first), body.first);
}

std::shared_ptr<Event> DeleteMsg::GetFromBuf(const char* buf, size_t len) {
  SETUP_ID
  READ_STRING(user, buf, remaining)
  READ_STRING(chat, buf, remaining)
  READ_INT(id, buf, remaining)
  return MakeRequest<DeleteMsg>(CutAtZero(user.first), CutAtZero(chat.first),
                                     static_cast<MessageId>(id.first));
}

std::shared_ptr<Event> ForwardMsg::GetFromBuf(const char* buf, size_t len) {
  SETUP_ID
  READ_STRING(user, buf, remaining)
  READ_STRING(chat, buf, remaining)
  READ_STRING(to, buf, remaining)
  READ_INT(id, buf, remaining)
  return MakeRequest<ForwardMsg>(CutAtZero(user.first), CutAtZero(chat.first), CutAtZero(to.first),
                                      static_cast<MessageId>(id.first));
}

std::shared_ptr<Event> GetChatMsg::GetFromBuf(const char* buf, size_t len) {
  SETUP_ID
  READ_STRING(chat, buf, remaining)
  READ_INT(id, buf, remaining)
  return MakeRequest<GetChatMsg>(CutAtZero(chat.first), static_cast<MessageId>(id.first));
}

std::shared_ptr<Event> GetChat::GetFromBuf(const char* buf, size_t len) {
  SETUP_ID
  READ_STRING(chat, buf, remaining)
  return MakeRequest<GetChat>(CutAtZero(chat.first));
}

std::shared_ptr<Event> Subscribe::GetFromBuf(const char* buf, size_t len) {
  SETUP_ID
  READ_STRING(user, buf, remaining)
  READ_STRING(chat, buf, remaining)
  return MakeRequest<Subscribe>(CutAtZero(user.first), CutAtZero(chat.first));
}

std::shared_ptr<Event> Unsubscribe::GetFromBuf(const char* buf, size_t len) {
  SETUP_ID
  READ_STRING(user, buf, remaining)
  READ_STRING(chat, buf, remaining)
  return MakeRequest<Unsubscribe>(CutAtZero(user.first), CutAtZero(chat.first));
}

std::shared_ptr<Event> History::GetFromBuf(const char* buf, size_t len) {
  SETUP_ID
  READ_STRING(chat, buf, remaining)
  READ_INT(after, buf, remaining)
  READ_INT(max, buf, remaining)
  return MakeRequest<History>(CutAtZero(chat.first), static_cast<MessageId>(after.first), max.first);
}

// Secrets are taken whole: unlike names, they are not cut at a zero byte.
std::shared_ptr<Event> RegisterWithSecret::GetFromBuf(const char* buf, size_t len) {
  SETUP_ID
  READ_STRING(user, buf, remaining)
  READ_STRING(secret, buf, remaining)
  return std::make_shared<RegisterWithSecret>(CutAtZero(user.first), secret.first);
}

std::shared_ptr<Event> LogIn::GetFromBuf(const char* buf, size_t len) {
  SETUP_ID
  READ_STRING(user, buf, remaining)
  READ_STRING(secret, buf, remaining)
  return std::make_shared<LogIn>(CutAtZero(user.first), secret.first);
}

std::shared_ptr<Event> ChangeSecret::GetFromBuf(const char* buf, size_t len) {
  SETUP_ID
  READ_STRING(user, buf, remaining)
  READ_STRING(old_secret, buf, remaining)
  READ_STRING(new_secret, buf, remaining)
  return std::make_shared<ChangeSecret>(CutAtZero(user.first), old_secret.first, new_secret.first);
}

namespace {

using Decoder = std::shared_ptr<Event> (*)(const char*, size_t);

// Indexed by type code; fixed at build time.
constexpr Decoder kDecoders[] = {
    &RegisterAccount::GetFromBuf,  // EV_REGISTER
    &CreateChat::GetFromBuf,       // EV_CREATECHAT
    &JoinChat::GetFromBuf,         // EV_JOINCHAT
    &SendMsg::GetFromBuf,          // EV_SENGMSG
    &EditMsg::GetFromBuf,          // EV_EDITMSG
    &DeleteMsg::GetFromBuf,        // EV_DELETEMSG
    &ForwardMsg::GetFromBuf,       // EV_FORWARDMSG
    &GetChatMsg::GetFromBuf,       // EV_GETMSG
    &GetChat::GetFromBuf,          // EV_GETCHAT
    &Subscribe::GetFromBuf,        // EV_SUBSCRIBE
    &Unsubscribe::GetFromBuf,      // EV_UNSUBSCRIBE
    &History::GetFromBuf,          // EV_HISTORY
    &RegisterWithSecret::GetFromBuf,  // EV_REGISTER_SECRET
    &LogIn::GetFromBuf,               // EV_LOGIN
    &ChangeSecret::GetFromBuf,        // EV_CHANGE_SECRET
};
static_assert(std::size(kDecoders) == wire::kLastEventId + 1);

}  // namespace

std::shared_ptr<Event> DecodeRequest(const char* data, size_t len) {
  if (len < kWordSize) return {};
  const uint64_t code = LoadU64(data);
  if (code > wire::kLastEventId) return {};
  std::shared_ptr<Event> res = kDecoders[code](data + kWordSize, len - kWordSize);
  if (res) res->SetType(code);
  return res;
}

std::string_view RegisteredName(const char* data, size_t len) {
  if (len < kWordSize || LoadU64(data) != EV_REGISTER) return {};
  const auto [name, used] = ExtractString(data + kWordSize, len - kWordSize);
  return used == kDecodeFail ? std::string_view{} : CutAtZero(name);
}

// ---- Processing ------------------------------------------------------------

bool RegisterAccount::Process(ResourceManager* rm) { return SendStatus(rm->AddUser(username)); }

bool CreateChat::Process(ResourceManager* rm) { return SendStatus(rm->CreateChat(username, chatname)); }

bool JoinChat::Process(ResourceManager* rm) {
  const JoinResult r = rm->JoinChat(username, chatname);
  return SendStatus(r == JoinResult::kJoined || r == JoinResult::kAlreadyMember);
}

bool SendMsg::Process(ResourceManager* rm) { return SendStatus(rm->SendTextMsg(username, chatname, data)); }

bool EditMsg::Process(ResourceManager* rm) {
  return SendStatus(rm->EditTextMsg(username, chatname, id, data));
}

bool DeleteMsg::Process(ResourceManager* rm) {
  return SendStatus(rm->DeleteMessage(username, chatname, id));
}

bool ForwardMsg::Process(ResourceManager* rm) {
  return SendStatus(rm->ForwardTextMsg(username, chatname, newchat, id));
}

bool GetChatMsg::Process(ResourceManager* rm) {
  // Both frames are encoded while the message lock is held: the reply is a
  // consistent copy even if the sender edits or deletes it at this moment.
  return rm->VisitChatMsg(chatname, id, [&](const MessageView& m) {
    SendStatus(true);
    SendMessage(m);
  }) || SendStatus(false);
}

bool GetChat::Process(ResourceManager* rm) {
  // The list frame's length is a signed 32-bit value; a list too long for it
  // cannot be framed and is refused rather than sent corrupt.
  constexpr size_t kMaxIds = static_cast<size_t>(INT32_MAX) / kWordSize - 2;
  std::unique_ptr<MessageStorage::Listing> listing = rm->StartListing(chatname);
  if (!listing || listing->size() > kMaxIds) return SendStatus(false);
  SendStatus(true);
  std::string* o = Output();
  if (o == nullptr) return true;
  const size_t count = listing->size();
  PutU32(*o, static_cast<uint32_t>((count + 2) * kWordSize));
  PutU64(*o, GetType());
  PutU64(*o, count);
  if (count * kWordSize <= kListingAtOnce) {
    while (!AppendIds(*listing, *o, kListingAtOnce)) {
    }
  } else {
    SendStream(std::make_unique<ListStream>(std::move(listing)));
  }
  return true;
}

bool Subscribe::Process(ResourceManager* rm) {
  PushHub* hub = PushHub::Get();
  const std::shared_ptr<Connection>& conn = GetConnection();
  const std::optional<uint32_t> chat = rm->MemberChat(username, chatname);
  if (hub == nullptr || conn == nullptr || !chat) return SendStatus(false);
  const Connection::Follow follow = conn->AddSubscription(*chat);
  if (follow == Connection::Follow::kGone) return SendStatus(false);
  // The last id and the subscription are taken together, while no change
  // of the chat can be recorded: every later change reaches this connection.
  MessageId last = 0;
  if (!rm->WithLastMessageId(chatname, [&](MessageId id) {
        last = id;
        if (follow == Connection::Follow::kAdded) hub->Follow(conn, *chat, chatname);
      })) {
    if (follow == Connection::Follow::kAdded) conn->RemoveSubscription(*chat);  // a busy lock: tried again
    return SendStatus(false);
  }
  SendStatus(true);
  if (std::string* o = Output()) wire::FrameBuilder(*o, GetType()).Int(static_cast<uint64_t>(last)).End();
  ActivateAfterReply(*chat);
  return true;
}

bool Unsubscribe::Process(ResourceManager* rm) {
  PushHub* hub = PushHub::Get();
  const std::shared_ptr<Connection>& conn = GetConnection();
  const std::optional<uint32_t> chat = rm->MemberChat(username, chatname);
  if (hub == nullptr || conn == nullptr || !chat || !conn->RemoveSubscription(*chat)) return SendStatus(false);
  hub->Unfollow(conn, *chat);
  return SendStatus(true);
}

bool History::Process(ResourceManager* rm) {
  // Entries go into a scratch buffer first: the status frame precedes them.
  thread_local std::string page;
  page.clear();
  const size_t most = static_cast<size_t>(std::min<uint64_t>(max, wire::kHistoryMaxMessages));
  size_t count = 0;
  bool more = false;
  const bool ok = rm->VisitHistory(chatname, after, most, more, [&](const MessageView& m, bool deleted) {
    const size_t size = 4 * kWordSize + m.sender.size() + m.body.size();
    if (count > 0 && page.size() + size > kHistoryMaxBytes) return false;
    PutU64(page, static_cast<uint64_t>(m.id));
    PutU64(page, deleted ? wire::kHistoryDeleted : 0);
    wire::PutString(page, m.sender);
    wire::PutString(page, m.body);
    ++count;
    return true;
  });
  if (!ok) return SendStatus(false);
  SendStatus(true);
  if (std::string* o = Output()) {
    PutU32(*o, static_cast<uint32_t>(3 * kWordSize + page.size()));
    PutU64(*o, GetType());
    PutU64(*o, count);
    PutU64(*o, more ? 1 : 0);
    o->append(page);
  }
  if (page.capacity() > 2 * kHistoryMaxBytes) std::string().swap(page);
  return true;
}

// ---- Accounts with secrets ----------------------------------------------

RegisterWithSecret::~RegisterWithSecret() { secrets::Wipe(secret); }
LogIn::~LogIn() { secrets::Wipe(secret); }
ChangeSecret::~ChangeSecret() {
  secrets::Wipe(old_secret);
  secrets::Wipe(new_secret);
}

namespace {

uint32_t PeerOf(const Event& ev) {
  const std::shared_ptr<Connection>& conn = ev.GetConnection();
  return conn ? conn->peer() : 0;
}

// Whether `secret` is the secret of `user`; a wrong one is a failed log-in.
// Takes as long for an unknown user or an account without a secret.
bool CheckSecret(const ResourceManager& rm, const Event& ev, const User* user, std::string_view name,
                 std::string_view secret, std::optional<std::string>& hash) {
  hash = user != nullptr ? rm.SecretOf(user->getId()) : std::nullopt;
  const bool ok = hash ? secrets::Verify(*hash, secret) : (secrets::VerifyNothing(secret), false);
  if (ok) LoginThrottle::Get().Succeeded(name);
  else LoginThrottle::Get().Failed(name, PeerOf(ev));
  return ok;
}

}  // namespace

bool RegisterWithSecret::Process(ResourceManager* rm) {
  // A taken name is refused before the hash is paid for.
  if (!secrets::Acceptable(secret) || rm->UserExist(username)) return SendStatus(false);
  const std::optional<std::string> hash = secrets::Hash(secret);
  return SendStatus(hash && rm->AddUserWithSecret(username, *hash));
}

std::chrono::steady_clock::time_point LogIn::NotBefore() const {
  return LoginThrottle::Get().NextAttempt(username, PeerOf(*this));
}

bool LogIn::Process(ResourceManager* rm) {
  if (!secrets::Acceptable(secret)) return SendStatus(false);
  const User* user = rm->FindUser(username);
  std::optional<std::string> hash;
  if (!CheckSecret(*rm, *this, user, username, secret, hash)) return SendStatus(false);
  if (const std::shared_ptr<Connection>& conn = GetConnection()) conn->BindUser(user);
  return SendStatus(true);
}

std::chrono::steady_clock::time_point ChangeSecret::NotBefore() const {
  return LoginThrottle::Get().NextAttempt(username, PeerOf(*this));
}

bool ChangeSecret::Process(ResourceManager* rm) {
  if (!secrets::Acceptable(old_secret) || !secrets::Acceptable(new_secret)) return SendStatus(false);
  const User* user = rm->FindUser(username);
  std::optional<std::string> hash;
  if (!CheckSecret(*rm, *this, user, username, old_secret, hash)) return SendStatus(false);
  const std::optional<std::string> fresh = secrets::Hash(new_secret);
  // Replaced only if nobody changed it since it was checked.
  return SendStatus(fresh && rm->ReplaceSecret(user->getId(), *hash, *fresh));
}

}  // namespace parley
