#include "v7_server_sim/v7_server.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <sstream>

#include "common/line_out.h"
#include "common/stop_signal.h"
#include "common/v7_codec.h"

namespace drvnt::sim {
namespace {

const char* const kCountedTypes[] = {"greeting",        "port-status", "event",
                                     "status-restored", "status-lost", "time",
                                     "close",           "other",       "unmarked"};

void Complain(const std::string& text) {
  std::cerr << "v7-server-sim: " << text << std::endl;
}

}  // namespace

V7Server::V7Server(Listener listener, const V7ServerOptions& options)
    : listener_(std::move(listener)), options_(options) {}

void V7Server::Run() {
  while (!StopSignal::Requested()) {
    pollfd p[4] = {{StopSignal::Fd(), POLLIN, 0},
                   {listener_.fd.Get(), POLLIN, 0},
                   {conn_.Get(), ConnectionEvents(), 0},
                   {stdinOpen_ ? STDIN_FILENO : -1, POLLIN, 0}};
    if (poll(p, 4, PollTimeoutMs()) < 0 && errno != EINTR)
      break;
    if ((p[2].revents & POLLOUT) != 0)
      Flood();
    // A server that never reads notices only that the connection has ended.
    if (options_.fault == V7Fault::kNeverRead && (p[2].revents & (POLLHUP | POLLERR)) != 0)
      Drop("peer");
    // The old connection is read out before a new one replaces it.
    else if ((p[2].revents & ~POLLOUT) != 0)
      ServeConnection();
    if (p[1].revents != 0)
      Accept();
    if (p[3].revents != 0)
      ServeCommands();
    ServeTimer();
  }
}

int V7Server::PollTimeoutMs() const {
  if (!timeDue_)
    return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(timeAt_ - Clock::now());
  return static_cast<int>(std::max<long>(0, left.count()));
}

short V7Server::ConnectionEvents() const {
  switch (options_.fault) {
    case V7Fault::kNeverRead:
      return 0;
    case V7Fault::kFlood:
      return POLLIN | POLLOUT;
    default:
      return POLLIN;
  }
}

// Junk without the FF FF marker, as much as the connection takes now.
void V7Server::Flood() {
  static const Bytes junk(64 * 1024, 0x5A);
  const ssize_t n = send(conn_.Get(), junk.data(), junk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n > 0)
    flooded_ += n;
}

void V7Server::Accept() {
  std::string peer;
  UniqueFd fd = AcceptConnection(listener_.fd.Get(), peer);
  if (!fd.Valid())
    return;
  if (conn_.Valid())
    Drop("replaced");
  conn_ = std::move(fd);
  ++connId_;
  pending_.clear();
  timeDue_ = options_.sendTimeAfterMs >= 0;
  timeAt_ = Clock::now() + std::chrono::milliseconds(options_.sendTimeAfterMs);
  Emit("connect", {{"conn", std::to_string(connId_)}, {"peer", peer}});
}

void V7Server::Drop(const char* reason, bool reset) {
  if (reset) {
    const linger l{1, 0};
    setsockopt(conn_.Get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  Emit("disconnect", {{"conn", std::to_string(connId_)},
                      {"reason", reason},
                      {"partial", std::to_string(pending_.size())}});
  conn_.Reset();
  pending_.clear();
  timeDue_ = false;
}

void V7Server::ServeConnection() {
  std::uint8_t buf[8192];
  const ssize_t n = read(conn_.Get(), buf, sizeof buf);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    Drop(n == 0 ? "peer" : "error");
    return;
  }
  if (n < 0)
    return;
  pending_.insert(pending_.end(), buf, buf + n);
  std::size_t used = 0;
  for (; pending_.size() - used >= kV7MessageSize; used += kV7MessageSize) {
    OnMessage(pending_.data() + used);
    if (options_.fault == V7Fault::kCloseAfterEvent && pending_[used + 2] == 0x15) {
      // What arrived behind the event is dropped unread, as by a server that went away.
      pending_.clear();
      Drop("fault");
      return;
    }
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
}

void V7Server::OnMessage(const std::uint8_t* piece) {
  Decoded d = DecodeV7Message(piece);
  ++messages_;
  ++byType_[d.type];
  Fields f = {
      {"conn", std::to_string(connId_)}, {"n", std::to_string(messages_)}, {"type", d.type}};
  f.insert(f.end(), d.fields.begin(), d.fields.end());
  if (d.type == "event") {
    const bool dup = !seenEvents_.insert(d.key).second;
    dups_ += dup;
    f.push_back({"dup", dup ? "1" : "0"});
    ++events_;
  }
  Emit("recv", f);
  if (options_.closeAfterEvents > 0 && events_ >= options_.closeAfterEvents && !closeSent_) {
    closeSent_ = Send(BuildV7CloseMessage(), "close", "");
  }
}

void V7Server::ServeCommands() {
  char buf[1024];
  const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
  if (n <= 0) {
    stdinOpen_ = n < 0 && errno == EINTR;
    return;
  }
  commandText_.append(buf, static_cast<std::size_t>(n));
  for (std::size_t eol; (eol = commandText_.find('\n')) != std::string::npos;) {
    HandleCommand(commandText_.substr(0, eol));
    commandText_.erase(0, eol + 1);
  }
}

void V7Server::HandleCommand(const std::string& line) {
  std::istringstream in(line);
  std::string word, rest;
  in >> word;
  std::getline(in >> std::ws, rest);
  DateTime when = NowLocal();
  if (word.empty())
    return;
  if (word == "die") {
    Die();
    return;
  }
  if (word == "time" && !rest.empty() && !ParseIsoDateTime(rest, when)) {
    Complain("bad date-time \"" + rest + "\" (e.g. time 2026-05-01T10:30:00)");
  } else if (word != "time" && word != "close" && word != "drop" && word != "reset") {
    Complain("unknown command \"" + word + "\" (time [ISO], close, drop, reset, die)");
  } else if (!conn_.Valid()) {
    Complain(word + ": no connection");
  } else if (word == "time") {
    Send(BuildV7TimeMessage(when), "time", FormatIsoDateTime(when));
  } else if (word == "close") {
    Send(BuildV7CloseMessage(), "close", "");
  } else {
    Drop(word.c_str(), word == "reset");
  }
}

// A crash between two reads: everything read so far has been printed; what waits unread in the
// connection's socket and the start of a message read in part go with the process, which ends at
// once, without closing the connection in order (the system resets a connection closed with
// unread bytes).
void V7Server::Die() {
  int unread = 0;
  if (conn_.Valid() && ioctl(conn_.Get(), FIONREAD, &unread) != 0)
    unread = 0;
  Emit("dying", {{"conn", std::to_string(connId_)},
                 {"unread", std::to_string(unread)},
                 {"partial", std::to_string(pending_.size())}});
  std::cout.flush();
  _exit(3);
}

void V7Server::ServeTimer() {
  if (!timeDue_ || Clock::now() < timeAt_)
    return;
  timeDue_ = false;
  const DateTime when = options_.fixedTime ? options_.time : NowLocal();
  Send(BuildV7TimeMessage(when), "time", FormatIsoDateTime(when));
}

bool V7Server::Send(const Bytes& message, const char* type, const std::string& time) {
  if (!SendAll(conn_.Get(), message, 1000)) {
    Drop("error");
    return false;
  }
  std::string(type) == "time" ? ++sentTime_ : ++sentClose_;
  Fields f = {{"conn", std::to_string(connId_)}, {"type", type}};
  if (!time.empty())
    f.push_back({"time", time});
  Emit("sent", f);
  return true;
}

void V7Server::PrintSummary() const {
  Fields f = {{"conns", std::to_string(connId_)}, {"messages", std::to_string(messages_)}};
  for (const char* t : kCountedTypes) {
    const auto it = byType_.find(t);
    f.push_back({t, std::to_string(it == byType_.end() ? 0 : it->second)});
  }
  f.push_back({"dups", std::to_string(dups_)});
  f.push_back({"sent_time", std::to_string(sentTime_)});
  f.push_back({"sent_close", std::to_string(sentClose_)});
  if (options_.fault == V7Fault::kFlood)
    f.push_back({"flooded", std::to_string(flooded_)});
  Emit("summary", f);
}

}  // namespace drvnt::sim
