#pragma once
// kyrhost's request loop: one worker thread per core, each with its own
// io_context and its own acceptor on a SO_REUSEPORT socket, so the kernel
// spreads connections over the workers and no lock or queue is shared on
// the request path. A connection stays on the worker that accepted it, so
// every notification of a request runs on one thread, as the module needs.

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
};

class Worker;

class Server {
 public:
  Server(const HostSettings& host, const ServerOptions& options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds every listener and starts the workers. False with a sentence for
  // the operator in `error` (bad address, port in use, unreadable
  // certificate); nothing runs then.
  bool Start(std::string& error);

  // The ports bound (useful when 0 was asked for).
  uint16_t Port() const { return port_; }
  uint16_t TlsPort() const { return tlsPort_; }

  // Graceful stop: no new connections; idle connections close; requests in
  // flight are finished and answered (with "Connection: close"); a request
  // still arriving gets a few seconds. Returns when every worker has ended.
  void Stop();

 private:
  struct TlsContext;
  const HostSettings& host_;
  ServerOptions options_;
  std::unique_ptr<TlsContext> tls_;
  std::vector<std::unique_ptr<Worker>> workers_;
  uint16_t port_ = 0;
  uint16_t tlsPort_ = 0;
  bool started_ = false;
};

}  // namespace kyrhost
