#include "emulator/card_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <list>
#include <memory>
#include <stdexcept>

namespace vela::emu {

namespace {

constexpr int kPollMs = 200;

// Waits for data, giving up when `stop` is set. False on stop, error or EOF.
bool ReadExact(int fd, std::uint8_t* buffer, std::size_t size, const std::atomic<bool>& stop) {
  std::size_t done = 0;
  while (done < size) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, kPollMs);
    if (stop) return false;
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return false;
    if (ready == 0) continue;
    const ssize_t n = recv(fd, buffer + done, size - done, 0);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
    // vpcd writes a frame's length and payload apart: a delayed
    // acknowledgement of the length would hold the payload back (Nagle).
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  }
  return true;
}

bool ReadFrame(int fd, std::vector<std::uint8_t>* payload, const std::atomic<bool>& stop) {
  std::uint8_t length[2];
  if (!ReadExact(fd, length, 2, stop)) return false;
  payload->resize(static_cast<std::size_t>(length[0] << 8 | length[1]));
  return payload->empty() || ReadExact(fd, payload->data(), payload->size(), stop);
}

bool WriteFrame(int fd, const std::vector<std::uint8_t>& payload) {
  if (payload.size() > 0xFFFF) return false;
  std::vector<std::uint8_t> frame = {static_cast<std::uint8_t>(payload.size() >> 8),
                                     static_cast<std::uint8_t>(payload.size())};
  frame.insert(frame.end(), payload.begin(), payload.end());
  std::size_t done = 0;
  while (done < frame.size()) {
    const ssize_t n = send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void AppendBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

int ConnectTo(const std::string& host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
  int fd = -1;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd >= 0) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return fd;
}

}  // namespace

CardServer::CardServer(VelaCard& card, PinPadReader& reader) : card_(card), reader_(reader) {}

CardServer::~CardServer() { Stop(); }

void CardServer::Stop() {
  stop_ = true;
  vpcdChanged_.notify_all();
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    threads.swap(threads_);
  }
  for (std::thread& t : threads) t.join();
}

CardServer::Reply CardServer::Answer(const std::vector<std::uint8_t>& message, std::vector<std::uint8_t>* answer,
                                     bool withControl) {
  answer->clear();
  if (message.size() == 1) {
    switch (message[0]) {
      case 0x00: case 0x01: case 0x02:
        card_.Reset();
        return Reply::kNone;
      case 0x04:
        *answer = card_.AnswerToReset();
        return Reply::kAnswer;
      default:
        return Reply::kNone;
    }
  }
  if (withControl && message.size() >= 6 && message[0] == 0xFF && message[1] == 0xC0) {
    const std::uint32_t code = static_cast<std::uint32_t>(message[2]) << 24 | message[3] << 16 | message[4] << 8 |
                               message[5];
    std::vector<std::uint8_t> output;
    const std::uint32_t result = reader_.Control(code, std::span(message).subspan(6), &output);
    AppendBigEndian(*answer, result);
    answer->insert(answer->end(), output.begin(), output.end());
    return Reply::kAnswer;
  }
  std::optional<Bytes> response = card_.Transmit(message);
  if (!response) return Reply::kDropped;
  *answer = std::move(*response);
  return Reply::kAnswer;
}

void CardServer::Serve(int fd, bool withControl) {
  std::vector<std::uint8_t> message, answer;
  while (ReadFrame(fd, &message, stop_)) {
    const Reply reply = Answer(message, &answer, withControl);
    if (reply == Reply::kDropped && !withControl) break;  // vpcd: the card leaves the reader
    if (reply != Reply::kNone && !WriteFrame(fd, answer)) break;
  }
  close(fd);
}

std::uint16_t CardServer::ListenTcp(std::uint16_t port) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
  const int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 8) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const std::string reason = std::strerror(errno);
    close(listener);
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + reason);
  }
  std::lock_guard lock(mutex_);
  threads_.emplace_back([this, listener] { AcceptLoop(listener); });
  return ntohs(address.sin_port);
}

void CardServer::AcceptLoop(int listener) {
  struct Client {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::list<Client> clients;
  while (!stop_) {
    // A bridge may connect once per card handle: finished clients are joined
    // as they go, not kept until the end.
    for (auto it = clients.begin(); it != clients.end();) {
      if (*it->done) {
        it->thread.join();
        it = clients.erase(it);
      } else {
        ++it;
      }
    }
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0) continue;
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto done = std::make_shared<std::atomic<bool>>(false);
    clients.push_back({std::thread([this, fd, done] {
                         Serve(fd, true);
                         *done = true;
                       }),
                       done});
  }
  for (Client& client : clients) client.thread.join();
  close(listener);
}

void CardServer::ConnectVpcd(const std::string& host, std::uint16_t port) {
  std::lock_guard lock(mutex_);
  threads_.emplace_back([this, host, port] { VpcdLoop(host, port); });
}

bool CardServer::WaitForVpcd(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return vpcdChanged_.wait_for(lock, timeout, [this] { return vpcdConnected_ || stop_; }) && vpcdConnected_;
}

void CardServer::VpcdLoop(std::string host, std::uint16_t port) {
  while (!stop_) {
    const int fd = ConnectTo(host, port);
    if (fd >= 0) {
      {
        std::lock_guard lock(mutex_);
        vpcdConnected_ = true;
      }
      vpcdChanged_.notify_all();
      Serve(fd, false);
      // pcscd went away or the card dropped: insert it again, fresh.
      card_.Reset();
    }
    for (int waited = 0; waited < 1000 && !stop_; waited += kPollMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
  }
  vpcdChanged_.notify_all();
}

}  // namespace vela::emu
