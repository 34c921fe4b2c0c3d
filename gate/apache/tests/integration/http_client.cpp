#include "http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <stdexcept>

namespace tokengate::apache::testing {

namespace {
class Socket {
 public:
  Socket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (fd_ < 0) {
      throw std::runtime_error("socket() failed");
    }
  }
  ~Socket() { ::close(fd_); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

std::string Lower(std::string s) {
  for (char& c : s) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return s;
}

std::string DecodeChunked(const std::string& body) {
  std::string out;
  std::size_t pos = 0;
  while (pos < body.size()) {
    const std::size_t eol = body.find("\r\n", pos);
    if (eol == std::string::npos) {
      break;
    }
    const std::size_t size = std::stoul(body.substr(pos, eol - pos), nullptr, 16);
    if (size == 0) {
      break;
    }
    out.append(body, eol + 2, size);
    pos = eol + 2 + size + 2;
  }
  return out;
}
}  // namespace

std::optional<std::string> HttpResponse::Header(const std::string& lowerName) const {
  const auto it = headers.find(lowerName);
  if (it == headers.end()) {
    return std::nullopt;
  }
  return it->second;
}

std::vector<std::string> HttpResponse::Headers(const std::string& lowerName) const {
  std::vector<std::string> out;
  const auto [begin, end] = headers.equal_range(lowerName);
  for (auto it = begin; it != end; ++it) {
    out.push_back(it->second);
  }
  return out;
}

HttpResponse Send(int port, const std::string& request) {
  Socket socket;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("connect() to port " + std::to_string(port) + " failed");
  }
  std::size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n =
        ::send(socket.fd(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      throw std::runtime_error("send() failed");
    }
    sent += static_cast<std::size_t>(n);
  }
  std::string raw;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::recv(socket.fd(), buffer, sizeof buffer, 0);
    if (n < 0) {
      throw std::runtime_error("recv() failed");
    }
    if (n == 0) {
      break;
    }
    raw.append(buffer, static_cast<std::size_t>(n));
  }
  HttpResponse response;
  const std::size_t end = raw.find("\r\n\r\n");
  if (raw.size() < 12 || end == std::string::npos) {
    throw std::runtime_error("malformed response: " + raw.substr(0, 200));
  }
  response.status = std::stoi(raw.substr(9, 3));
  response.raw_headers = raw.substr(0, end + 2);
  std::size_t pos = raw.find("\r\n") + 2;
  while (pos < end) {
    const std::size_t eol = raw.find("\r\n", pos);
    const std::string line = raw.substr(pos, eol - pos);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::size_t v = colon + 1;
      while (v < line.size() && line[v] == ' ') {
        ++v;
      }
      response.headers.emplace(Lower(line.substr(0, colon)), line.substr(v));
    }
    pos = eol + 2;
  }
  response.body = raw.substr(end + 4);
  const auto te = response.Header("transfer-encoding");
  if (te && Lower(*te) == "chunked") {
    response.body = DecodeChunked(response.body);
  }
  return response;
}

HttpResponse Get(int port, const std::string& target,
                 const std::vector<std::string>& extraHeaders) {
  std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                        "\r\nConnection: close\r\n";
  for (const auto& line : extraHeaders) {
    request += line + "\r\n";
  }
  request += "\r\n";
  return Send(port, request);
}

}  // namespace tokengate::apache::testing
