// The HTTP server over libmicrohttpd, loaded with dlopen on first start.
// One internal thread polls every connection with epoll; event streams
// suspend their connection while they have nothing to send and are resumed
// by EventHub::publish() from whichever thread publishes.
#include "http.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace trn::web {

namespace {

#define TRN_MHD_FUNCTIONS(F)                                                                  \
  F(MHD_start_daemon) F(MHD_stop_daemon) F(MHD_quiesce_daemon) F(MHD_get_daemon_info)         \
  F(MHD_create_response_from_buffer) F(MHD_create_response_from_callback)                     \
  F(MHD_add_response_header) F(MHD_queue_response) F(MHD_destroy_response)                    \
  F(MHD_get_connection_values) F(MHD_lookup_connection_value) F(MHD_suspend_connection)       \
  F(MHD_resume_connection) F(MHD_get_connection_info)

struct Mhd {
#define TRN_MHD_POINTER(name) decltype(&::name) name = nullptr;
  TRN_MHD_FUNCTIONS(TRN_MHD_POINTER)
#undef TRN_MHD_POINTER
};

// libmicrohttpd, loaded once; throws WebError when it cannot be.
const Mhd &mhd() {
  static Mhd lib;
  static std::string missing;
  static std::once_flag once;
  std::call_once(once, [] {
    void *h = dlopen("libmicrohttpd.so.12", RTLD_NOW | RTLD_LOCAL);
    if (!h) {
      missing = dlerror();
      return;
    }
#define TRN_MHD_FIND(name)                                          \
  lib.name = reinterpret_cast<decltype(lib.name)>(dlsym(h, #name)); \
  if (!lib.name && missing.empty()) missing = std::string("no ") + #name;
    TRN_MHD_FUNCTIONS(TRN_MHD_FIND)
#undef TRN_MHD_FIND
  });
  if (!missing.empty())
    throw WebError("the HTTP server library (libmicrohttpd12) cannot be used: " + missing);
  return lib;
}

// A follower's bytes beyond this: it does not read, and is let go.
constexpr size_t kMaxPending = 64 * 1024;

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}


}  // namespace

std::string random_hex(size_t bytes) {
  std::string raw(bytes, '\0');
  size_t got = 0;
  while (got < bytes) {
    const ssize_t n = getrandom(&raw[got], bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw WebError(std::string("no random numbers: ") + std::strerror(errno));
    got += static_cast<size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : raw) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

// ---- Requests and answers -------------------------------------------------

std::string Request::param(const std::string &name, const std::string &fallback) const {
  auto it = query.find(name);
  return it == query.end() ? fallback : it->second;
}

Response text_response(int status, const std::string &line) {
  Response r;
  r.status = status;
  r.body = line + "\n";
  return r;
}

Response json_response(const std::string &json, int status) {
  Response r;
  r.status = status;
  r.type = "application/json";
  r.body = json;
  return r;
}

bool is_loopback(const std::string &host) {
  if (lower(host) == "localhost") return true;
  in_addr a{};
  return inet_pton(AF_INET, host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

bool same_secret(const std::string &a, const std::string &b) {
  // Every byte of the longer one is looked at, whatever differs first.
  const size_t n = std::max(a.size(), b.size());
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    diff |= x ^ y;
  }
  return diff == 0;
}

std::string read_token_file(const std::string &file, std::string *why) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) {
    *why = std::strerror(errno);
    if (fd >= 0) close(fd);
    return "";
  }
  std::string text;
  char buf[512];
  for (ssize_t n; text.size() < 4096 && (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, n);
  close(fd);
  if (!S_ISREG(st.st_mode)) {
    *why = "not a regular file";
    return "";
  }
  if (st.st_mode & (S_IRWXO)) {
    *why = "others may read or change it (chmod o= FILE)";
    return "";
  }
  text = text.substr(0, text.find('\n'));
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (text.size() < 16) {
    *why = "the token is shorter than 16 characters";
    return "";
  }
  return text;
}

std::string percent_decode(const std::string &text, bool *ok) {
  std::string out;
  *ok = true;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      *ok = false;
      return "";
    }
    out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
    i += 2;
  }
  return out;
}

std::string percent_encode(const std::string &text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// ---- Event streams ----------------------------------------------------------

namespace {
struct Follower {
  EventHub::Impl *hub = nullptr;
  MHD_Connection *connection = nullptr;
  std::string pending;
  bool suspended = false;
  bool overflow = false;
};
}  // namespace

struct EventHub::Impl {
  mutable std::mutex m;
  std::set<Follower *> followers;
  std::map<std::string, std::string> last;  // event name -> its last message
  bool ended = false;
  const Mhd *lib = nullptr;

  // Under m: hands text to every follower and wakes those that wait.
  void send_locked(const std::string &text) {
    for (Follower *f : followers) {
      if (f->pending.size() + text.size() > kMaxPending) f->overflow = true;
      else f->pending += text;
      wake_locked(f);
    }
  }
  void wake_locked(Follower *f) {
    if (!f->suspended) return;
    f->suspended = false;
    lib->MHD_resume_connection(f->connection);
  }
  Follower *follow(MHD_Connection *c) {
    std::lock_guard<std::mutex> lock(m);
    auto *f = new Follower;
    f->hub = this;
    f->connection = c;
    f->pending = "retry: 2000\n\n";
    for (const auto &e : last) f->pending += e.second;
    followers.insert(f);
    return f;
  }
  void end() {
    std::lock_guard<std::mutex> lock(m);
    ended = true;
    for (Follower *f : followers) wake_locked(f);
  }

  static ssize_t read(void *cls, uint64_t, char *buf, size_t max);
  static void release(void *cls);
};

ssize_t EventHub::Impl::read(void *cls, uint64_t, char *buf, size_t max) {
  auto *f = static_cast<Follower *>(cls);
  Impl &hub = *f->hub;
  std::lock_guard<std::mutex> lock(hub.m);
  if (f->overflow) return MHD_CONTENT_READER_END_WITH_ERROR;
  if (f->pending.empty()) {
    if (hub.ended) return MHD_CONTENT_READER_END_OF_STREAM;
    // Nothing to say: the connection leaves the poll until publish() wakes it.
    f->suspended = true;
    hub.lib->MHD_suspend_connection(f->connection);
    return 0;
  }
  const size_t n = std::min(max, f->pending.size());
  memcpy(buf, f->pending.data(), n);
  f->pending.erase(0, n);
  return static_cast<ssize_t>(n);
}

void EventHub::Impl::release(void *cls) {
  auto *f = static_cast<Follower *>(cls);
  Impl &hub = *f->hub;
  std::lock_guard<std::mutex> lock(hub.m);
  hub.followers.erase(f);
  delete f;
}

EventHub::EventHub() : impl_(std::make_unique<Impl>()) {}
EventHub::~EventHub() = default;

void EventHub::publish(const std::string &event, const std::string &data) {
  std::string text = "event: " + event + "\n";
  for (size_t at = 0;;) {
    const size_t nl = data.find('\n', at);
    text += "data: " + data.substr(at, nl == std::string::npos ? std::string::npos : nl - at) + "\n";
    if (nl == std::string::npos) break;
    at = nl + 1;
  }
  text += "\n";
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->last[event] = text;
  if (impl_->lib) impl_->send_locked(text);
}

void EventHub::heartbeat() {
  std::lock_guard<std::mutex> lock(impl_->m);
  if (impl_->lib) impl_->send_locked(":\n\n");
}

size_t EventHub::followers() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  return impl_->followers.size();
}

// ---- The server -------------------------------------------------------------

struct Server::Impl {
  Server &server;
  const Mhd &lib;
  MHD_Daemon *daemon = nullptr;
  int listen_fd = -1;
  std::string session;      // the cookie's value once the token was shown
  std::string cookie_name;
  std::set<std::string> hosts;  // lower case, without port

  Impl(Server &s, const Mhd &l) : server(s), lib(l) {}

  // A POST's body as it arrives.
  struct Upload {
    std::string body;
    bool too_big = false;
  };

  static MHD_Result access(void *cls, MHD_Connection *c, const char *url, const char *method,
                           const char *, const char *, size_t *, void **);
  static void completed(void *cls, MHD_Connection *, void **state, MHD_RequestTerminationCode);
  MHD_Result answer(MHD_Connection *c, const Response &r, bool head);
  MHD_Result serve(MHD_Connection *c, const std::string &url, const std::string &method,
                   const Upload *upload = nullptr);
  bool host_allowed(const char *host) const;
};

namespace {

struct Values {
  std::vector<std::pair<std::string, std::string>> items;
  size_t bytes = 0;
};

// The mark of a request without a body between the two calls of access().
char plain_request;

bool client_on_loopback(const Mhd &lib, MHD_Connection *c) {
  const MHD_ConnectionInfo *info = lib.MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (!info || !info->client_addr) return false;
  if (info->client_addr->sa_family != AF_INET) return false;
  const auto *in = reinterpret_cast<const sockaddr_in *>(info->client_addr);
  return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
}

MHD_Result collect(void *cls, MHD_ValueKind, const char *key, const char *value) {
  auto *v = static_cast<Values *>(cls);
  const std::string k = key ? key : "", val = value ? value : "";
  v->bytes += k.size() + val.size() + 4;
  v->items.emplace_back(k, val);
  return MHD_YES;
}

}  // namespace

bool Server::Impl::host_allowed(const char *host) const {
  if (!host) return false;
  std::string h = lower(host), port;
  const size_t colon = h.rfind(':');
  if (colon != std::string::npos && h.find(']') == std::string::npos) {
    port = h.substr(colon + 1);
    h = h.substr(0, colon);
  }
  if (!port.empty() && port != std::to_string(server.port_)) return false;
  return hosts.count(h) > 0;
}

MHD_Result Server::Impl::answer(MHD_Connection *c, const Response &r, bool head) {
  MHD_Response *resp;
  if (r.event_stream && !head) {
    resp = lib.MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &EventHub::Impl::read,
                                                 server.hub_.impl().follow(c),
                                                 &EventHub::Impl::release);
  } else {
    resp = lib.MHD_create_response_from_buffer(r.body.size(), const_cast<char *>(r.body.data()),
                                               MHD_RESPMEM_MUST_COPY);
  }
  if (!resp) return MHD_NO;
  lib.MHD_add_response_header(resp, "Content-Type",
                              r.event_stream ? "text/event-stream" : r.type.c_str());
  lib.MHD_add_response_header(resp, "Content-Security-Policy",
                              "default-src 'self'; frame-ancestors 'none'");
  lib.MHD_add_response_header(resp, "X-Content-Type-Options", "nosniff");
  lib.MHD_add_response_header(resp, "Referrer-Policy", "no-referrer");
  lib.MHD_add_response_header(resp, "Cache-Control", "no-store");
  for (const auto &h : r.headers) lib.MHD_add_response_header(resp, h.first.c_str(), h.second.c_str());
  const MHD_Result ok = lib.MHD_queue_response(c, static_cast<unsigned>(r.status), resp);
  lib.MHD_destroy_response(resp);
  return ok;
}

MHD_Result Server::Impl::serve(MHD_Connection *c, const std::string &url,
                               const std::string &method, const Upload *upload) {
  const ServerConfig &cfg = server.config_;
  const bool head = method == "HEAD";
  const bool post = upload != nullptr;
  if (method != "GET" && !head && !post) {
    Response r = text_response(405, "only GET and HEAD are answered here");
    r.headers.emplace_back("Allow", "GET, HEAD");
    return answer(c, r, false);
  }
  Values headers;
  lib.MHD_get_connection_values(c, MHD_HEADER_KIND, &collect, &headers);
  if (headers.bytes + url.size() > cfg.max_header_bytes)
    return answer(c, text_response(431, "the request's headers are too large"), head);
  const char *length = lib.MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Content-Length");
  const char *chunked = lib.MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Transfer-Encoding");
  if (!post && (chunked || (length && std::strcmp(length, "0") != 0))) {
    Response r = text_response(413, "a request body is not accepted");
    r.headers.emplace_back("Connection", "close");
    return answer(c, r, head);
  }
  if (post && upload->too_big) {
    Response r = text_response(413, "the request body is larger than " +
                                        std::to_string(cfg.max_body_bytes) + " bytes");
    r.headers.emplace_back("Connection", "close");
    return answer(c, r, false);
  }
  const char *host = lib.MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Host");
  if (!host_allowed(host))
    return answer(c, text_response(421, "this server does not answer for that host name"), head);

  Request req;
  req.method = method;
  req.path = url;
  req.from_loopback = client_on_loopback(lib, c);
  if (post) req.body = upload->body;
  bool by_bearer = false;
  Values args;
  lib.MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, &collect, &args);
  for (const auto &a : args.items) req.query[a.first] = a.second;

  if (!cfg.token.empty()) {
    const char *cookie = lib.MHD_lookup_connection_value(c, MHD_COOKIE_KIND, cookie_name.c_str());
    const char *auth = lib.MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Authorization");
    bool allowed = cookie && same_secret(cookie, session);
    if (!allowed && auth && std::strncmp(auth, "Bearer ", 7) == 0)
      allowed = by_bearer = same_secret(auth + 7, cfg.token);
    if (!allowed && req.has("token") && !post) {
      if (!same_secret(req.param("token"), cfg.token))
        return answer(c, text_response(401, "the token is wrong"), head);
      // The token shown once becomes a cookie; the address bar loses it.
      std::string location;
      for (size_t at = 0; at < url.size();) {
        const size_t slash = url.find('/', at);
        const size_t end = slash == std::string::npos ? url.size() : slash;
        location += percent_encode(url.substr(at, end - at));
        if (slash != std::string::npos) location += '/';
        at = end + 1;
      }
      std::string q;
      for (const auto &a : args.items)
        if (a.first != "token")
          q += (q.empty() ? "?" : "&") + percent_encode(a.first) + "=" + percent_encode(a.second);
      Response r = text_response(303, "signed in");
      r.headers.emplace_back("Location", location + q);
      r.headers.emplace_back("Set-Cookie", cookie_name + "=" + session +
                                               "; Path=/; HttpOnly; SameSite=Strict");
      return answer(c, r, head);
    }
    if (!allowed) {
      Response r = text_response(401, "a token is needed: open the address with ?token=TOKEN");
      r.headers.emplace_back("WWW-Authenticate", "Bearer");
      return answer(c, r, head);
    }
  }

  if (post) {
    // Without a bearer token, a browser may have sent it for another site:
    // only the page's own origin is taken.
    const char *origin = lib.MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Origin");
    if (!by_bearer && (!origin || lower(origin) != "http://" + lower(host)))
      return answer(c, text_response(403, "a POST must come from this page (Origin)"), false);
    if (cfg.post_loopback_only && !req.from_loopback)
      return answer(c, text_response(403, "only the station's own PC may change anything"),
                    false);
  }

  auto file = server.files_.find(url);
  if (!post && file != server.files_.end()) {
    Response r;
    r.type = file->second.type;
    r.body.assign(reinterpret_cast<const char *>(file->second.data), file->second.size);
    return answer(c, r, head);
  }
  auto disk = server.disk_files_.find(url);
  if (!post && disk != server.disk_files_.end()) {
    Response r;
    r.type = disk->second.first;
    r.body = disk->second.second;
    return answer(c, r, head);
  }
  Response r;
  try {
    r = server.handler_(req);
  } catch (const std::exception &) {
    // The reason stays in the server: it may name the database.
    r = text_response(500, "internal error");
  }
  return answer(c, r, head);
}

void Server::Impl::completed(void *, MHD_Connection *, void **state, MHD_RequestTerminationCode) {
  if (*state && *state != &plain_request) delete static_cast<Upload *>(*state);
  *state = nullptr;
}

MHD_Result Server::Impl::access(void *cls, MHD_Connection *c, const char *url, const char *method,
                                const char *, const char *upload_data, size_t *upload_size,
                                void **state) {
  auto *self = static_cast<Impl *>(cls);
  // The first call comes with the headers.  A request without a body is
  // answered at the second, once the whole request is in, so that the
  // connection can be kept for the next one; any other is answered (and the
  // connection closed) at once.
  const ServerConfig &cfg = self->server.config_;
  if (method && std::strcmp(method, "POST") == 0 && url && cfg.post_allowed && cfg.post_allowed(url)) {
    if (!*state) {
      auto *upload = new Upload;
      *state = upload;
      const char *length = self->lib.MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Content-Length");
      if (length && std::strtoull(length, nullptr, 10) > cfg.max_body_bytes) {
        upload->too_big = true;  // answered at once, the body never read
        return self->serve(c, url, method, upload);
      }
      return MHD_YES;
    }
    auto *upload = static_cast<Upload *>(*state);
    if (*upload_size != 0) {
      if (upload->body.size() + *upload_size > cfg.max_body_bytes) upload->too_big = true;
      else upload->body.append(upload_data, *upload_size);
      *upload_size = 0;
      return MHD_YES;
    }
    try {
      return self->serve(c, url, method, upload);
    } catch (const std::exception &) {
      return MHD_NO;
    }
  }
  const bool plain = method && (std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0) &&
                     !self->lib.MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Content-Length") &&
                     !self->lib.MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Transfer-Encoding");
  if (!*state && plain) {
    *state = &plain_request;
    return MHD_YES;
  }
  if (*upload_size != 0) {
    *upload_size = 0;  // never reached: requests with a body are answered at the first call
    return MHD_YES;
  }
  try {
    return self->serve(c, url ? url : "/", method ? method : "");
  } catch (const std::exception &) {
    return MHD_NO;  // out of memory: the connection is closed
  }
}

Server::Server(ServerConfig config, std::vector<StaticFile> files, Handler handler)
    : config_(std::move(config)), handler_(std::move(handler)) {
  for (const StaticFile &f : files) files_[f.path] = f;
}

Server::~Server() {
  if (impl_ && impl_->daemon) stop(0);
}

bool Server::add_disk_file(const std::string &path, const std::string &type,
                           const std::string &file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (!in.good() && !in.eof()) return false;
  disk_files_[path] = {type, bytes.str()};
  return true;
}

void Server::start() {
  const Mhd &lib = mhd();
  impl_ = std::make_unique<Impl>(*this, lib);
  impl_->session = random_hex(32);

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(config_.port));
  const std::string host = lower(config_.host) == "localhost" ? "127.0.0.1" : config_.host;
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
    addrinfo hints{}, *found = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
      throw WebError(config_.host + ": not an address this machine can listen on");
    addr.sin_addr = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int on = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 256) != 0) {
    const std::string why = std::strerror(errno);
    if (fd >= 0) close(fd);
    throw WebError("cannot listen on " + config_.host + ":" + std::to_string(config_.port) +
                   ": " + why);
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  impl_->listen_fd = fd;
  impl_->cookie_name = config_.cookie_prefix + "_" + std::to_string(port_);
  for (const std::string &h : {std::string("localhost"), std::string("127.0.0.1"), config_.host})
    impl_->hosts.insert(lower(h));
  for (const std::string &h : config_.names) impl_->hosts.insert(lower(h));

  EventHub::Impl &hub = hub_.impl();
  {
    std::lock_guard<std::mutex> lock(hub.m);
    hub.lib = &lib;
  }
  // Headers and the connection's own buffers share this; the headers' own
  // bound is checked apart, with a clear answer.
  const size_t memory = config_.max_header_bytes * 2 + 16384;
  impl_->daemon = lib.MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr,
      nullptr, &Impl::access, impl_.get(), MHD_OPTION_LISTEN_SOCKET, fd,
      MHD_OPTION_CONNECTION_TIMEOUT, config_.idle_timeout_s, MHD_OPTION_CONNECTION_LIMIT,
      config_.max_connections, MHD_OPTION_CONNECTION_MEMORY_LIMIT, memory,
      MHD_OPTION_NOTIFY_COMPLETED, &Impl::completed, nullptr, MHD_OPTION_END);
  if (!impl_->daemon) {
    close(fd);
    throw WebError("the HTTP server cannot start on " + config_.host + ":" +
                   std::to_string(port_));
  }
}

void Server::stop(double grace_s) {
  if (!impl_ || !impl_->daemon) return;
  const Mhd &lib = impl_->lib;
  lib.MHD_quiesce_daemon(impl_->daemon);
  hub_.impl().end();
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<long>(grace_s * 1000));
  while (std::chrono::steady_clock::now() < until) {
    const MHD_DaemonInfo *info =
        lib.MHD_get_daemon_info(impl_->daemon, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
    if (!info || info->num_connections == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  lib.MHD_stop_daemon(impl_->daemon);
  impl_->daemon = nullptr;
  close(impl_->listen_fd);
  impl_->listen_fd = -1;
}

}  // namespace trn::web
