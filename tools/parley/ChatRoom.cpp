#include "ChatRoom.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <unordered_set>
#include <vector>

#include "LineEditor.h"
#include "Text.h"

namespace parley::cli {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollInterval = std::chrono::milliseconds(500);
constexpr size_t kBacklog = 20;  // messages shown on entering the room
constexpr size_t kWatched = 10;  // newest shown messages re-fetched to notice edits

const char* const kHelp =
    "* type a line and press Enter to send it. Commands:\n"
    "*   /edit N TEXT     replace the text of your message #N\n"
    "*   /delete N        delete your message #N\n"
    "*   /forward N CHAT  copy message #N into another chat\n"
    "*   /quit            leave the room (also Ctrl-D or Ctrl-C)\n"
    "*   //TEXT           send a message that starts with '/'\n";

class ChatRoom {
 public:
  ChatRoom(Session& session, Client& client, std::string user, std::string chat)
      : session_(session), client_(client), user_(std::move(user)), chat_(std::move(chat)) {}

  int Run();

 private:
  struct Shown {
    MessageId id;
    std::string sender;
    std::string body;
    bool deleted = false;
  };

  // Joins the chat, opening it when it does not exist. kExitOk, or the exit
  // status after saying why not.
  int Enter();
  void Say(const std::string& text);
  // Shows a transport failure and ends the session with exit status 3.
  void Broken(const std::string& error);
  std::string Line(size_t index, std::string_view tag) const;
  // Lists the chat and shows what changed since the last poll. On `first`,
  // shows at most kBacklog of the existing messages.
  void Poll(bool first);
  void Handle(const std::string& line);
  // The shown message that `word` ("3" or "#3") numbers, or nothing after saying why.
  std::optional<size_t> Pick(std::string_view word);
  // Runs a status request typed by the user; true when it succeeded.
  bool Do(const Request& request);

  Session& session_;
  Client& client_;
  std::string user_;
  std::string chat_;
  LineEditor* editor_ = nullptr;
  std::unordered_set<MessageId> seen_;  // every id listed so far
  std::vector<Shown> shown_;            // #n is shown_[n - 1]
  std::vector<size_t> recheck_;         // shown messages to re-fetch at the next poll
  bool quit_ = false;
  int exit_status_ = kExitOk;
};

void ChatRoom::Say(const std::string& text) {
  if (editor_ != nullptr) {
    editor_->Print(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
}

void ChatRoom::Broken(const std::string& error) {
  Say("! connection to " + session_.where() + " lost: " + error + "\n");
  quit_ = true;
  exit_status_ = kExitUnreachable;
}

std::string ChatRoom::Line(size_t index, std::string_view tag) const {
  const Shown& m = shown_[index];
  return "#" + std::to_string(index + 1) + " " + Printable(m.sender) + std::string(tag) + ": " +
         Printable(m.body) + "\n";
}

void ChatRoom::Poll(bool first) {
  auto listed = client_.List(chat_);
  if (!listed) return Broken(listed.error);

  std::vector<MessageId> fresh;
  for (MessageId id : listed.value)
    if (seen_.insert(id).second) fresh.push_back(id);
  if (first && fresh.size() > kBacklog) {
    Say("* " + std::to_string(fresh.size() - kBacklog) + " earlier messages not shown\n");
    fresh.erase(fresh.begin(), fresh.end() - static_cast<std::ptrdiff_t>(kBacklog));
  }

  // Messages no longer listed were deleted.
  std::unordered_set<MessageId> current(listed.value.begin(), listed.value.end());
  std::string out;
  for (size_t i = 0; i < shown_.size(); ++i) {
    if (!shown_[i].deleted && !current.contains(shown_[i].id)) {
      shown_[i].deleted = true;
      out += "* #" + std::to_string(i + 1) + " by " + Printable(shown_[i].sender) + " was deleted\n";
    }
  }

  // Re-fetch the newest shown messages (and any just edited here) to notice edits.
  for (size_t i = shown_.size() > kWatched ? shown_.size() - kWatched : 0; i < shown_.size(); ++i)
    recheck_.push_back(i);
  std::vector<size_t> watch;
  for (size_t i : recheck_)
    if (!shown_[i].deleted && std::find(watch.begin(), watch.end(), i) == watch.end()) watch.push_back(i);
  recheck_.clear();

  std::vector<MessageId> ids;
  for (size_t i : watch) ids.push_back(shown_[i].id);
  ids.insert(ids.end(), fresh.begin(), fresh.end());
  auto fetched = FetchAll(client_, chat_, ids);
  if (!fetched) {
    if (!out.empty()) Say(out);
    return Broken(fetched.error);
  }
  for (size_t k = 0; k < watch.size(); ++k) {
    auto& m = fetched.value[k];
    Shown& s = shown_[watch[k]];
    if (m && m->body != s.body) {
      s.body = std::move(m->body);
      out += Line(watch[k], " (edited)");
    }
  }
  for (size_t k = watch.size(); k < ids.size(); ++k) {
    auto& m = fetched.value[k];
    if (!m) continue;  // deleted before it could be fetched
    shown_.push_back({ids[k], std::move(m->sender), std::move(m->body)});
    out += Line(shown_.size() - 1, "");
  }
  if (!out.empty()) Say(out);
}

std::optional<size_t> ChatRoom::Pick(std::string_view word) {
  if (word.starts_with('#')) word.remove_prefix(1);
  auto n = ParseInt(word);
  if (!n || *n < 1 || static_cast<uint64_t>(*n) > shown_.size()) {
    Say("! no message #" + Printable(word) + " here\n");
    return std::nullopt;
  }
  return static_cast<size_t>(*n - 1);
}

bool ChatRoom::Do(const Request& request) {
  auto r = client_.Call(request);
  if (r) return true;
  if (r.status == Status::kRefused)
    Say(std::string("! refused: ") + RefusalReason(request.kind()) + "\n");
  else if (r.status == Status::kBadRequest)
    Say("! not sent: " + r.error + "\n");
  else
    Broken(r.error);
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
    if (n.empty() || text_at == std::string::npos) return Say("! usage: /edit N TEXT\n");
    if (auto i = Pick(n); i && Do(Request::Edit(user_, chat_, shown_[*i].id, line.substr(text_at))))
      recheck_.push_back(*i);
  } else if (cmd == "/delete") {
    const std::string n = word(pos);
    if (n.empty() || !word(pos).empty()) return Say("! usage: /delete N\n");
    if (auto i = Pick(n)) Do(Request::Delete(user_, chat_, shown_[*i].id));
  } else if (cmd == "/forward") {
    const std::string n = word(pos);
    const std::string to = word(pos);
    if (to.empty() || !word(pos).empty()) return Say("! usage: /forward N CHAT\n");
    if (auto i = Pick(n); i && Do(Request::Forward(user_, chat_, to, shown_[*i].id)))
      Say("* forwarded #" + std::to_string(*i + 1) + " to " + Printable(to) + "\n");
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
  std::fprintf(stderr, "parley: refused: user '%s' is not registered (try 'parley register %s')\n",
               Printable(user_).c_str(), Printable(user_).c_str());
  return kExitRefused;
}

int ChatRoom::Run() {
  if (int status = Enter(); status != kExitOk) return status;
  Say("* " + Printable(user_) + " in " + Printable(chat_) + " on " + session_.where() +
      " (/help for commands, /quit to leave)\n");
  Poll(true);

  LineEditor editor(Printable(user_) + "@" + Printable(chat_) + "> ",
                    {"/edit", "/delete", "/forward", "/help", "/quit"}, true);
  editor_ = &editor;
  auto next_poll = Clock::now() + kPollInterval;
  while (!quit_) {
    std::string line;
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next_poll - Clock::now());
    switch (editor.Read(std::max(wait, std::chrono::milliseconds(0)), line)) {
      case LineEditor::Event::kLine:
        Handle(line);
        next_poll = Clock::now();  // show the effect right away
        break;
      case LineEditor::Event::kEof:
      case LineEditor::Event::kInterrupt:
      case LineEditor::Event::kTerminate: quit_ = true; break;
      case LineEditor::Event::kTimeout: break;
    }
    if (!quit_ && Clock::now() >= next_poll) {
      Poll(false);
      next_poll = Clock::now() + kPollInterval;
    }
  }
  editor_ = nullptr;
  return exit_status_;
}

}  // namespace

int RunChat(Session& session, const std::string& user, const std::string& chat) {
  Client* client = session.Connect();
  if (client == nullptr) return kExitUnreachable;
  return ChatRoom(session, *client, user, chat).Run();
}

}  // namespace parley::cli
