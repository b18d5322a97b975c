#include "ChatRoom.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <map>
#include <optional>

#include "LineEditor.h"
#include "Text.h"

namespace parley::cli {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr size_t kBacklog = 20;   // messages shown on entering the room
constexpr size_t kRecheck = 50;   // newest shown messages checked for edits after a reconnect
constexpr milliseconds kFirstRetry{500}, kLastRetry{8000};  // reconnection backoff
constexpr milliseconds kConnectTimeout{2000};
constexpr int kEventBatch = 256;  // events shown at once

const char* const kHelp =
    "* type a line and press Enter to send it. Commands:\n"
    "*   /edit ID TEXT     replace the text of your message ID\n"
    "*   /delete ID        delete your message ID\n"
    "*   /forward ID CHAT  copy message ID into another chat\n"
    "*   /quit             leave the room (also Ctrl-D or Ctrl-C)\n"
    "*   //TEXT            send a message that starts with '/'\n";

class ChatRoom {
 public:
  ChatRoom(Session& session, Client& client, std::string user, std::string chat)
      : session_(session), client_(client), user_(std::move(user)), chat_(std::move(chat)) {}

  int Run();

 private:
  struct Shown {
    std::string sender;
    std::string body;
    bool deleted = false;
  };

  // Joins the chat, opening it when it does not exist. kExitOk, or the exit
  // status after saying why not.
  int Enter();
  void Say(const std::string& text);
  std::string Line(MessageId id, std::string_view tag) const;
  // Subscribes and shows what the chat holds up to the subscription: the
  // first time, the newest kBacklog messages; after a reconnect, the messages
  // missed and the changes to the newest kRecheck shown ones. False after
  // reporting a failure.
  bool Subscribe();
  // Shows the history pages after `after` up to `last`.
  bool CatchUp(MessageId after, MessageId last, std::string& out);
  // Shows one message, an edit or a deletion; nothing when it changes nothing shown.
  void Show(const HistoryEntry& m, std::string& out);
  // Shows the events that have arrived, without waiting for more.
  void ShowEvents();
  // The connection broke: say so and start reconnecting.
  void Lost(const std::string& error);
  void Reconnect();
  void Handle(const std::string& line);
  // The message id that `word` names, or nothing after saying why.
  std::optional<MessageId> Pick(std::string_view word);
  // Runs a status request typed by the user; true when it succeeded.
  bool Do(const Request& request);

  Session& session_;
  Client& client_;
  std::string user_;
  std::string chat_;
  LineEditor* editor_ = nullptr;
  std::map<MessageId, Shown> shown_;  // by id, which grows within a chat
  MessageId start_ = kNoMessage;      // the history before the shown messages ends here
  MessageId seen_ = kNoMessage;       // every message up to this id was considered
  bool loaded_ = false;               // the room showed the chat once
  bool quit_ = false;
  int exit_status_ = kExitOk;
  bool lost_ = false;
  milliseconds retry_in_ = kFirstRetry;
  Clock::time_point retry_at_;
};

void ChatRoom::Say(const std::string& text) {
  if (text.empty()) return;
  if (editor_ != nullptr) {
    editor_->Print(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
}

std::string ChatRoom::Line(MessageId id, std::string_view tag) const {
  const Shown& m = shown_.at(id);
  return std::to_string(id) + " " + Printable(m.sender) + std::string(tag) + ": " + Printable(m.body) + "\n";
}

void ChatRoom::Show(const HistoryEntry& m, std::string& out) {
  auto it = shown_.find(m.id);
  if (it == shown_.end()) {
    if (m.deleted || m.id <= seen_) return;  // gone, or older than what the room shows
    shown_.emplace(m.id, Shown{m.sender, m.body});
    seen_ = m.id;
    out += Line(m.id, "");
  } else if (it->second.deleted) {
    return;
  } else if (m.deleted) {
    it->second.deleted = true;
    out += "* " + std::to_string(m.id) + " by " + Printable(it->second.sender) + " was deleted\n";
  } else if (m.body != it->second.body) {
    it->second.body = m.body;
    out += Line(m.id, " (edited)");
  }
}

bool ChatRoom::CatchUp(MessageId after, MessageId last, std::string& out) {
  while (after < last) {
    auto page = client_.History(chat_, after, kHistoryMaxMessages);
    if (page.status == Status::kRefused) {  // the chat lost the message: a server without its history
      out += "! the chat's history is not what it was; showing new messages only\n";
      shown_.clear();
      start_ = seen_ = last;
      return true;
    }
    if (!page) {
      Say(out);
      out.clear();
      Lost(page.error);
      return false;
    }
    for (const HistoryEntry& m : page.value.entries)
      if (m.id <= last) Show(m, out);
    if (!page.value.more || page.value.entries.empty()) break;
    after = page.value.entries.back().id;
  }
  seen_ = std::max(seen_, last);
  return true;
}

bool ChatRoom::Subscribe() {
  const bool first = !loaded_;
  auto last = client_.Subscribe(user_, chat_);
  if (last.status == Status::kRefused) {
    Say("! refused: " + Printable(user_) + " may no longer follow " + Printable(chat_) + "\n");
    quit_ = true;
    exit_status_ = kExitRefused;
    return false;
  }
  if (!last) {
    Lost(last.error);
    return false;
  }
  std::string out;
  MessageId after = start_;
  if (first) {
    // The newest kBacklog messages: the history after the one listed before them.
    auto ids = client_.List(chat_);
    if (!ids) {
      Lost(ids.error);
      return false;
    }
    const size_t n = ids.value.size();
    if (n > kBacklog) {
      out += "* " + std::to_string(n - kBacklog) + " earlier messages not shown\n";
      start_ = after = ids.value[n - kBacklog - 1];
    }
  } else if (shown_.size() > kRecheck) {
    after = std::prev(shown_.end(), static_cast<std::ptrdiff_t>(kRecheck + 1))->first;
  }
  if (!CatchUp(after, last.value, out)) return false;
  if (lost_) out += "* back on " + session_.where() + "\n";  // Reconnect() clears lost_ after this
  loaded_ = true;
  retry_in_ = kFirstRetry;
  Say(out);
  return true;
}

void ChatRoom::ShowEvents() {
  std::string out;
  // A bounded batch, so that typing goes on during a flood; the rest come next round.
  for (int n = 0; n < kEventBatch && !lost_ && !quit_; ++n) {
    auto e = client_.NextEvent(milliseconds(0));
    if (e.status == Status::kTimeout) break;
    if (!e) {
      Say(out);
      return Lost(e.error);
    }
    Event& ev = e.value;
    if (ev.kind == EventKind::kMessage) {
      Show({ev.id, false, std::move(ev.sender), std::move(ev.body)}, out);
    } else if (auto it = shown_.find(ev.id); it != shown_.end()) {
      Show({ev.id, ev.kind == EventKind::kDelete, it->second.sender, std::move(ev.body)}, out);
    }
  }
  Say(out);
}

void ChatRoom::Lost(const std::string& error) {
  client_.Close();
  if (lost_) return;  // a failed reconnection: Reconnect() backs off
  lost_ = true;
  retry_at_ = Clock::now() + retry_in_;
  Say("! connection to " + session_.where() + " lost: " + error + "; reconnecting\n");
}

void ChatRoom::Reconnect() {
  auto opened = session_.Open(client_, kConnectTimeout);
  if (opened.status == Status::kRefused) {  // the secret changed meanwhile: trying again cannot help
    Say("! cannot log in as " + Printable(*session_.options().user) + " again: " +
        RefusalReason(RequestKind::kLogin) + "; leaving\n");
    quit_ = true;
    exit_status_ = kExitRefused;
    return;
  }
  lost_ = !opened || !Subscribe();
  if (lost_) {
    client_.Close();
    retry_in_ = std::min(retry_in_ * 2, kLastRetry);
    retry_at_ = Clock::now() + retry_in_;
  }
}

std::optional<MessageId> ChatRoom::Pick(std::string_view word) {
  auto id = ParseInt(word);
  if (!id || *id < 0) {
    Say("! not a message id: " + Printable(word) + "\n");
    return std::nullopt;
  }
  return *id;
}

bool ChatRoom::Do(const Request& request) {
  if (lost_) {
    Say("! not sent: reconnecting to " + session_.where() + "\n");
    return false;
  }
  auto r = client_.Call(request);
  if (r) return true;
  if (r.status == Status::kRefused)
    Say(std::string("! refused: ") + RefusalReason(request.kind()) + "\n");
  else if (r.status == Status::kBadRequest)
    Say("! not sent: " + r.error + "\n");
  else
    Lost(r.error);
  return false;
}

void ChatRoom::Handle(const std::string& line) {
  if (line.find_first_not_of(" \t") == std::string::npos) return;
  if (!line.starts_with('/') || line.starts_with("//")) {
    Do(Request::Send(user_, chat_, line.starts_with('/') ? line.substr(1) : line));
    return;
  }
  // "/cmd a b rest of the text": split off at most three words.
  auto word = [&](size_t& pos) {
    size_t start = line.find_first_not_of(' ', pos);
    if (start == std::string::npos) return (pos = line.size(), std::string());
    size_t end = std::min(line.find(' ', start), line.size());
    pos = end;
    return line.substr(start, end - start);
  };
  size_t pos = 0;
  const std::string cmd = word(pos);
  if (cmd == "/quit" || cmd == "/exit") {
    quit_ = true;
  } else if (cmd == "/help") {
    Say(kHelp);
  } else if (cmd == "/edit") {
    const std::string n = word(pos);
    size_t text_at = line.find_first_not_of(' ', pos);
    if (n.empty() || text_at == std::string::npos) return Say("! usage: /edit ID TEXT\n");
    if (auto id = Pick(n)) Do(Request::Edit(user_, chat_, *id, line.substr(text_at)));
  } else if (cmd == "/delete") {
    const std::string n = word(pos);
    if (n.empty() || !word(pos).empty()) return Say("! usage: /delete ID\n");
    if (auto id = Pick(n)) Do(Request::Delete(user_, chat_, *id));
  } else if (cmd == "/forward") {
    const std::string n = word(pos);
    const std::string to = word(pos);
    if (to.empty() || !word(pos).empty()) return Say("! usage: /forward ID CHAT\n");
    auto id = Pick(n);
    if (!id || !Do(Request::Forward(user_, chat_, to, *id))) return;
    // The copy is a message from the forwarder: the original author is known only here.
    auto it = shown_.find(*id);
    const std::string author = it != shown_.end() ? " (written by " + Printable(it->second.sender) + ")" : "";
    Say("* forwarded " + std::to_string(*id) + author + " to " + Printable(to) + "\n");
  } else {
    Say("! unknown command " + Printable(cmd) + " (try /help)\n");
  }
}

int ChatRoom::Enter() {
  auto joined = client_.JoinChat(user_, chat_);
  if (joined) return kExitOk;
  if (joined.status != Status::kRefused) return session_.Failure(RequestKind::kJoinChat, joined);
  // No such chat, or no such user: open the chat.
  auto created = client_.CreateChat(user_, chat_);
  if (created) {
    Say("* created chat " + Printable(chat_) + "\n");
    return kExitOk;
  }
  if (created.status != Status::kRefused) return session_.Failure(RequestKind::kCreateChat, created);
  // Refused both ways: the user is unknown, unless someone opened the chat meanwhile.
  joined = client_.JoinChat(user_, chat_);
  if (joined) return kExitOk;
  if (joined.status != Status::kRefused) return session_.Failure(RequestKind::kJoinChat, joined);
  return Fail(kExitRefused, "user '" + Printable(user_) + "' is not registered (try 'parley register " +
                                Printable(user_) + "')");
}

int ChatRoom::Run() {
  if (int status = Enter(); status != kExitOk) return status;
  Say("* " + Printable(user_) + " in " + Printable(chat_) + " on " + session_.where() +
      " (/help for commands, /quit to leave)\n");
  if (!Subscribe() && !lost_) return exit_status_;

  LineEditor editor(Printable(user_) + "@" + Printable(chat_) + "> ",
                    {"/edit", "/delete", "/forward", "/help", "/quit"}, true);
  editor_ = &editor;
  while (!quit_) {
    if (!lost_ && client_.event_ready()) ShowEvents();
    if (quit_) break;
    std::string line;
    const auto wait = lost_ ? std::max(std::chrono::duration_cast<milliseconds>(retry_at_ - Clock::now()),
                                       milliseconds(0))
                            : milliseconds(-1);
    switch (editor.Read(wait, line, lost_ ? -1 : client_.fd())) {
      case LineEditor::Event::kLine: Handle(line); break;
      case LineEditor::Event::kReady: ShowEvents(); break;
      case LineEditor::Event::kEof:
      case LineEditor::Event::kInterrupt:
      case LineEditor::Event::kTerminate: quit_ = true; break;
      case LineEditor::Event::kTimeout: break;
    }
    if (!quit_ && lost_ && Clock::now() >= retry_at_) Reconnect();
  }
  editor_ = nullptr;
  return exit_status_;
}

}  // namespace

int RunChat(Session& session, const std::string& user, const std::string& chat) {
  Client* client = session.Connect();
  if (client == nullptr) return session.connect_failure();
  return ChatRoom(session, *client, user, chat).Run();
}

}  // namespace parley::cli
