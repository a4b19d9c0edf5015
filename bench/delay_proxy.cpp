// A loopback TCP proxy that holds every chunk for a fixed time in each
// direction, so that a local server answers as a server across a network
// would, and that counts round trips (a client burst that follows a reply).
//
//   divu_delay_proxy --to /path/to/.s.PGSQL.5432 | --to 127.0.0.1:5432
//                    [--listen PORT] [--delay-ms 0.5] [--counts FILE]
//
// Prints the port it listens on (127.0.0.1), then serves until SIGTERM or
// SIGINT. On SIGUSR1 and at exit it writes "round_trips bytes_up bytes_down"
// to the counts file.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t g_stop = 0, g_report = 0;

struct Chunk {
  Clock::time_point due;
  std::string bytes;
  size_t sent = 0;
};

// One direction of one connection: what was read from `from`, waiting for
// its time to be written to `to`.
struct Pipe {
  int from = -1, to = -1;
  std::deque<Chunk> queue;
  bool closed = false;  // `from` reached its end: shut `to` down once drained
};

struct Pair {
  Pipe up, down;  // client to server, server to client
  bool replied = true;  // the last chunk went down: the next one up starts a round trip
};

struct Totals {
  unsigned long long roundTrips = 0, bytesUp = 0, bytesDown = 0;
} g_totals;

std::string g_countsPath;

void writeCounts() {
  if (g_countsPath.empty()) return;
  std::string temporary = g_countsPath + ".tmp";
  if (FILE* f = fopen(temporary.c_str(), "w")) {
    fprintf(f, "%llu %llu %llu\n", g_totals.roundTrips, g_totals.bytesUp, g_totals.bytesDown);
    fclose(f);
    rename(temporary.c_str(), g_countsPath.c_str());
  }
}

int connectTo(const std::string& target) {
  int fd;
  if (target.find('/') != std::string::npos) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (target.size() >= sizeof address.sun_path) return -1;
    memcpy(address.sun_path, target.c_str(), target.size());
    fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      return -1;
    }
  } else {
    size_t colon = target.rfind(':');
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(atoi(target.c_str() + colon + 1)));
    if (colon == std::string::npos || inet_pton(AF_INET, target.substr(0, colon).c_str(), &address.sin_addr) != 1)
      return -1;
    fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      return -1;
    }
  }
  return fd;
}

// Reads what `pipe.from` has, to be written when the delay has passed.
void readInto(Pipe& pipe, Pair& pair, bool up, Clock::duration delay) {
  char buffer[65536];
  ssize_t n = read(pipe.from, buffer, sizeof buffer);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    pipe.closed = true;
    return;
  }
  if (up) {
    if (pair.replied) ++g_totals.roundTrips;
    pair.replied = false;
    g_totals.bytesUp += static_cast<unsigned long long>(n);
  } else {
    pair.replied = true;
    g_totals.bytesDown += static_cast<unsigned long long>(n);
  }
  pipe.queue.push_back({Clock::now() + delay, std::string(buffer, static_cast<size_t>(n))});
}

// Writes the chunks that are due, in order; false when the peer is gone.
bool drain(Pipe& pipe, Clock::time_point now) {
  while (!pipe.queue.empty() && pipe.queue.front().due <= now) {
    Chunk& chunk = pipe.queue.front();
    ssize_t n = write(pipe.to, chunk.bytes.data() + chunk.sent, chunk.bytes.size() - chunk.sent);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    chunk.sent += static_cast<size_t>(n);
    if (chunk.sent < chunk.bytes.size()) return true;
    pipe.queue.pop_front();
  }
  if (pipe.closed && pipe.queue.empty() && pipe.to >= 0) shutdown(pipe.to, SHUT_WR);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string target;
  int port = 0;
  double delayMs = 0.5;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--to") target = argv[i + 1];
    else if (option == "--listen") port = atoi(argv[i + 1]);
    else if (option == "--delay-ms") delayMs = atof(argv[i + 1]);
    else if (option == "--counts") g_countsPath = argv[i + 1];
    else {
      fprintf(stderr, "unknown option %s\n", option.c_str());
      return 2;
    }
  }
  if (target.empty()) {
    fprintf(stderr, "usage: %s --to SOCKET|HOST:PORT [--listen PORT] [--delay-ms MS] [--counts FILE]\n", argv[0]);
    return 2;
  }
  auto delay = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(delayMs));

  struct sigaction action{};
  action.sa_handler = [](int signal) { (signal == SIGUSR1 ? g_report : g_stop) = 1; };
  for (int signal : {SIGTERM, SIGINT, SIGUSR1}) sigaction(signal, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 64) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    perror("listen");
    return 1;
  }
  printf("%d\n", ntohs(address.sin_port));
  fflush(stdout);
  writeCounts();

  std::vector<std::unique_ptr<Pair>> pairs;
  while (!g_stop) {
    if (g_report) {
      g_report = 0;
      writeCounts();
    }
    auto now = Clock::now();
    // Never blocked for long: a SIGUSR1 that lands just before poll is seen soon.
    int timeoutMs = 100;
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    std::vector<std::pair<Pair*, bool>> owners{{nullptr, false}};
    for (auto& pair : pairs) {
      for (bool up : {true, false}) {
        Pipe& pipe = up ? pair->up : pair->down;
        if (!pipe.closed) {
          fds.push_back({pipe.from, POLLIN, 0});
          owners.emplace_back(pair.get(), up);
        }
        if (!pipe.queue.empty()) {
          auto wait = std::chrono::ceil<std::chrono::milliseconds>(pipe.queue.front().due - now).count();
          int ms = static_cast<int>(std::max<long long>(0, wait));
          timeoutMs = std::min(timeoutMs, ms);
        }
      }
    }
    // poll's milliseconds are too coarse for a half-millisecond delay: sleep
    // the remainder precisely when a chunk is due within the next one.
    if (timeoutMs == 0 || timeoutMs == 1) {
      int ready = poll(fds.data(), fds.size(), 0);
      if (ready == 0) {
        Clock::time_point next = Clock::time_point::max();
        for (auto& pair : pairs)
          for (Pipe* pipe : {&pair->up, &pair->down})
            if (!pipe->queue.empty()) next = std::min(next, pipe->queue.front().due);
        auto remaining = next - Clock::now();
        if (remaining > std::chrono::microseconds(50)) {
          timespec pause{0, static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                   std::min<Clock::duration>(remaining, std::chrono::microseconds(200)))
                                                   .count())};
          nanosleep(&pause, nullptr);
        }
      }
    } else if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) {
      perror("poll");
      break;
    }
    for (size_t i = 0; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      if (i == 0) {
        int client = accept(listener, nullptr, nullptr);
        if (client < 0) continue;
        int server = connectTo(target);
        if (server < 0) {
          perror("connect");
          close(client);
          continue;
        }
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // Non-blocking: a peer slow to read must not stall the other connections.
        for (int fd : {client, server}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        auto pair = std::make_unique<Pair>();
        pair->up.from = pair->down.to = client;
        pair->up.to = pair->down.from = server;
        pairs.push_back(std::move(pair));
        continue;
      }
      auto [pair, up] = owners[i];
      readInto(up ? pair->up : pair->down, *pair, up, delay);
    }
    now = Clock::now();
    for (size_t i = 0; i < pairs.size();) {
      Pair& pair = *pairs[i];
      bool alive = drain(pair.up, now) && drain(pair.down, now);
      bool done = pair.up.closed && pair.down.closed && pair.up.queue.empty() && pair.down.queue.empty();
      if (!alive || done) {
        close(pair.up.from);
        close(pair.down.from);
        pairs.erase(pairs.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
  }
  writeCounts();
  return 0;
}
