#pragma once
// kyrhost's request loop: one worker thread per core, each with its own
// io_context and its own acceptor on a SO_REUSEPORT socket, so the kernel
// spreads connections over the workers and no lock or queue is shared on
// the request path. A connection stays on the worker that accepted it, so
// every notification of a request runs on one thread, as the module needs.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/httpexchange.h"

namespace kyrhost {

struct ListenAddress {
  std::string address;  // numeric IPv4 or IPv6
  uint16_t port = 0;    // 0: any free port (the same for every worker)
};

struct ServerOptions {
  ListenAddress listen{"127.0.0.1", 8080};
  bool tls = false;
  ListenAddress tlsListen;
  std::string tlsCert;  // PEM certificate chain
  std::string tlsKey;   // PEM private key
  int threads = 1;
  // Peers whose X-Forwarded-For names the client (numeric addresses).
  std::vector<std::string> trustedProxies;

  // Connections one worker keeps open. When a new one would pass the cap,
  // the worker's idlest connection (the longest without a byte in either
  // direction, not one being answered) is closed to make room, so a flood
  // of slow clients cannot lock legitimate ones out. Also bounded by the
  // open-files limit (see ConnectionCap). 0: the open-files limit alone.
  int maxConnections = 10000;
  // Connections one client address may hold on one worker; past it the new
  // connection is closed at once. Trusted proxies are exempt. 0: no cap.
  int maxClientConnections = 128;
  // A request's head and body must arrive within this time of its first
  // byte (of the connection's acceptance, for its first request), however
  // steadily its bytes trickle in.
  std::chrono::seconds requestTimeout{20};
  // A kept-alive connection waiting for its next request; also how long a
  // client may leave its response unread.
  std::chrono::seconds idleTimeout{60};
  // A graceful stop ends here, counted from its start: connections still
  // open are closed and Stop() returns.
  std::chrono::seconds stopTimeout{10};
};

class Worker;

class Server {
 public:
  Server(const HostSettings& host, const ServerOptions& options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds every listener and reads the TLS certificate and key: what may
  // need privileges. False with a sentence for the operator in `error` (bad
  // address, port in use, unreadable certificate).
  bool Bind(std::string& error);
  // Starts the workers on the bound listeners; the module must be loaded.
  void Run();
  // Bind() and Run().
  bool Start(std::string& error);

  // Descriptors kept back from connections for the module's log files and
  // the process's own.
  static constexpr int kReservedDescriptors = 256;
  // The cap on one worker's connections: maxConnections, lowered so that
  // every worker's connections together stay within the open-files limit
  // less kReservedDescriptors. Known after Bind().
  int ConnectionCap() const { return connectionCap_; }

  // The ports bound (useful when 0 was asked for).
  uint16_t Port() const { return port_; }
  uint16_t TlsPort() const { return tlsPort_; }

  // Graceful stop: no new connections; idle connections close; requests in
  // flight are finished and answered (with "Connection: close"); a request
  // still arriving may complete until its own deadline. Whatever is still
  // open when stopTimeout has passed is closed. Returns when every worker
  // has ended, at most stopTimeout (and the time to close) after the call.
  void Stop();

 private:
  struct TlsContext;
  const HostSettings& host_;
  ServerOptions options_;
  std::unique_ptr<TlsContext> tls_;
  std::vector<std::unique_ptr<Worker>> workers_;
  uint16_t port_ = 0;
  uint16_t tlsPort_ = 0;
  int connectionCap_ = 0;
  bool bound_ = false;
  bool started_ = false;
};

}  // namespace kyrhost
