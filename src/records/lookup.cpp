#include "lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "conninfo.h"
#include "store.h"

namespace trn::records {

namespace {

using Clock = std::chrono::steady_clock;

// What the looking-up thread leaves for the waiting one; the thread keeps
// it alive when the waiter has given up.
struct Answer {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  int error = 0;        // getaddrinfo's
  std::string address;  // the first address, numeric
};

void look_up(const std::string &name, const std::shared_ptr<Answer> &answer) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  const int error = getaddrinfo(name.c_str(), nullptr, &hints, &found);
  char text[NI_MAXHOST] = "";
  if (error == 0) {
    getnameinfo(found->ai_addr, found->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
    freeaddrinfo(found);
  }
  std::lock_guard<std::mutex> lock(answer->m);
  answer->error = error;
  answer->address = text;
  answer->done = true;
  answer->cv.notify_all();
}

// One name's first address.  The thread blocks every signal, so that they
// reach the threads that act on them.
std::string address_of(const std::string &name, Clock::time_point until,
                       const std::atomic<bool> *stop) {
  auto answer = std::make_shared<Answer>();
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  try {
    std::thread([name, answer] { look_up(name, answer); }).detach();
  } catch (const std::system_error &e) {
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    throw StoreError(std::string("cannot look up ") + name + ": " + e.what());
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  std::unique_lock<std::mutex> lock(answer->m);
  // In slices short enough to see the stop flag.
  while (!answer->done) {
    if (stop && stop->load()) throw StoreError("interrupted");
    const auto now = Clock::now();
    if (now >= until) throw StoreError("no answer in time while looking up " + name);
    answer->cv.wait_until(lock, std::min(until, now + std::chrono::milliseconds(100)));
  }
  if (answer->error != 0)
    throw StoreError("could not translate host name \"" + name + "\" to address: " +
                     gai_strerror(answer->error));
  return answer->address;
}

bool is_numeric(const std::string &host) {
  unsigned char buf[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

}  // namespace

std::string host_addresses(const std::string &conninfo, Clock::time_point until,
                           const std::atomic<bool> *stop) {
  Conninfo c;
  std::string why;
  if (!parse_conninfo(conninfo, &c, &why) || !c.value("hostaddr").empty()) return "";
  std::string hosts = c.value("host");
  if (hosts.empty()) {
    // A service file may name the host: libpq looks that one up.
    if (!c.value("service").empty() || getenv("PGSERVICE") || getenv("PGHOSTADDR")) return "";
    if (const char *env = getenv("PGHOST")) hosts = env;
  }
  std::string list;
  bool any = false;
  size_t from = 0;
  for (bool first = true;; first = false) {
    const size_t comma = hosts.find(',', from);
    const std::string host = hosts.substr(from, comma == std::string::npos ? comma : comma - from);
    if (!first) list += ",";
    // Empty, a socket folder ("/...") or an abstract socket ("@..."): no name.
    if (!host.empty() && host[0] != '/' && host[0] != '@') {
      list += is_numeric(host) ? host : address_of(host, until, stop);
      any = true;
    }
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  return any ? list : "";
}

}  // namespace trn::records
