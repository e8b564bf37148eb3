// A small HTTP server for trnctl's pages, with the rules every page of
// trnctl keeps: it answers GET and HEAD only, checks the Host header against
// the names it serves under (against DNS rebinding), asks for a token on any
// address but the loopback (as ?token= once, then a cookie, or as a bearer
// token), bounds the headers, refuses request bodies, and adds the same
// security headers to every answer.  Pages are files compiled into the
// program (StaticFile) or read once from disk; data comes from a handler;
// live updates go out as server-sent events from an EventHub.
//
// The HTTP library (libmicrohttpd) is loaded when a server is first started,
// not when the program starts: its TLS and other libraries cost the
// program's other commands nothing.  One internal thread polls every
// connection (epoll); a page following events holds a suspended connection,
// neither a thread nor a pool slot.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace trn::web {

// bytes random bytes from the kernel, as lower-case hexadecimal: session
// cookies and ids that cannot be guessed.  Throws WebError.
std::string random_hex(size_t bytes);

// The server could not be started (the library, the address); what() says why.
struct WebError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Request {
  std::string method;  // GET or HEAD
  std::string path;    // percent-decoded, without the query
  // The query's parameters, decoded; a name given twice keeps its last value.
  std::map<std::string, std::string> query;
  std::string body;            // a POST's body (at most ServerConfig::max_body_bytes)
  bool from_loopback = false;  // the client's address is 127.0.0.0/8

  // The query parameter, or fallback when it is absent.
  std::string param(const std::string &name, const std::string &fallback = "") const;
  bool has(const std::string &name) const { return query.count(name) > 0; }
};

class EventHub;

struct Response {
  int status = 200;
  std::string type = "text/plain; charset=utf-8";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // beyond the security headers
  bool event_stream = false;  // follow the server's EventHub instead of a body
};

// A one-line plain text answer: "400", "bad since: ...".
Response text_response(int status, const std::string &line);
// A JSON text (already made) with status.
Response json_response(const std::string &json, int status = 200);

// A file compiled into the program (see cmake/EmbedFiles.cmake).
struct StaticFile {
  const char *path;  // as requested: "/static/app.css"
  const char *type;  // its Content-Type
  const unsigned char *data;
  size_t size;
};

// Server-sent events to every page that follows them.  publish() may be
// called from any thread; a page that connects gets the last message of each
// event name at once, so it never misses the current state.
class EventHub {
 public:
  EventHub();
  ~EventHub();
  EventHub(const EventHub &) = delete;
  EventHub &operator=(const EventHub &) = delete;

  void publish(const std::string &event, const std::string &data);
  // A comment line to every follower, so that connections whose page went
  // away are found and closed.
  void heartbeat();
  size_t followers() const;

  struct Impl;
  Impl &impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

struct ServerConfig {
  std::string host = "127.0.0.1";  // an IPv4 address
  int port = 8080;                 // 0: any free port (tests)
  std::string token;               // empty: no token asked for
  std::vector<std::string> names;  // further Host names accepted (--host)
  std::string cookie_prefix = "trn";  // the cookie is PREFIX_PORT
  unsigned idle_timeout_s = 10;    // an idle connection is closed after this
  size_t max_header_bytes = 8192;
  unsigned max_connections = 1000;
  // The paths that take a POST (none when unset: every POST gets 405).  A
  // POST must carry a JSON body of at most max_body_bytes; one that is
  // authorised by the cookie, or where no token is in force, must also
  // carry an Origin equal to the page's own (http:// and an allowed Host),
  // so that no other site can send it; a bearer token needs no Origin.
  // With post_loopback_only, only a client on the loopback may POST (403).
  std::function<bool(const std::string &path)> post_allowed;
  size_t max_body_bytes = 4096;
  bool post_loopback_only = true;
};

using Handler = std::function<Response(const Request &)>;

class Server {
 public:
  // Files are served at their paths, extra files (read from disk once, at
  // start: a file that cannot be read is a 404) at theirs; every other
  // path goes to handler.
  Server(ServerConfig config, std::vector<StaticFile> files, Handler handler);
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Adds a file from disk (before start()): false when it cannot be read.
  bool add_disk_file(const std::string &path, const std::string &type, const std::string &file);
  // Listens; throws WebError.  port() then tells the port.
  void start();
  int port() const { return port_; }
  EventHub &events() { return hub_; }
  // Stops taking connections, ends the event streams, waits up to grace_s
  // for open requests to be answered, then closes what is left.
  void stop(double grace_s);

  struct Impl;

 private:
  ServerConfig config_;
  std::map<std::string, StaticFile> files_;
  std::map<std::string, std::pair<std::string, std::string>> disk_files_;  // path -> type, bytes
  Handler handler_;
  EventHub hub_;
  int port_ = 0;
  std::unique_ptr<Impl> impl_;
};

// True for 127.0.0.0/8 and "localhost".
bool is_loopback(const std::string &host);
// Compares two secrets in a time that depends on their lengths only.
bool same_secret(const std::string &a, const std::string &b);
// The token in file: its first line.  "" with *why set when the file cannot
// be read, others may read it, or the token is shorter than 16 characters.
std::string read_token_file(const std::string &file, std::string *why);
// "a%20b" -> "a b" ('+' stays '+'); "" on a malformed escape, with *ok false.
std::string percent_decode(const std::string &text, bool *ok);
std::string percent_encode(const std::string &text);

}  // namespace trn::web
