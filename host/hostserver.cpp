#include "host/hostserver.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "host/proxyrange.h"
#include "host/requestparser.h"

namespace kyrhost {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kLingerTime = std::chrono::seconds(2);  // draining after the last response
constexpr size_t kReadChunk = 8192;
// A large file goes out in pieces of this size, read as the client takes
// them: what a connection holds of it at any time.
constexpr size_t kStreamChunk = 64 * 1024;

using ReusePort = asio::detail::socket_option::boolean<SOL_SOCKET, SO_REUSEPORT>;

std::string AddressText(const asio::ip::address& a) {
  if (a.is_v6() && a.to_v6().is_v4_mapped())
    return a.to_v6().to_v4().to_string();
  return a.to_string();
}

// The Date header's value, formatted once a second.
class HttpDate {
 public:
  std::string_view Get() {
    time_t now = std::time(nullptr);
    if (now != last_) {
      struct tm t;
      gmtime_r(&now, &t);
      size_t n = std::strftime(text_, sizeof text_, "%a, %d %b %Y %H:%M:%S GMT", &t);
      length_ = n;
      last_ = now;
    }
    return {text_, length_};
  }

 private:
  time_t last_ = -1;
  char text_[64] = {};
  size_t length_ = 0;
};

}  // namespace

struct Server::TlsContext {
  asio::ssl::context context{asio::ssl::context::tls_server};
};

// A connection as its worker sees it.
class SessionBase {
 public:
  enum class State { kHandshake, kIdle, kReading, kWriting, kLingering };
  virtual ~SessionBase() = default;
  virtual void Close() = 0;
  State state = State::kHandshake;
  Clock::time_point lastActivity = Clock::now();
  // When the request being read (or the TLS handshake and first request)
  // must be complete.
  Clock::time_point requestDeadline;

  // The worker's bookkeeping of open connections, oldest activity first.
  SessionBase* older = nullptr;
  SessionBase* newer = nullptr;
  bool listed = false;
  bool holdsFile = false;  // a streamed file's descriptor, counted like a connection
  std::string client;      // counted against this address's cap; "" when exempt
};

class Worker {
 public:
  Worker(const HostSettings& host, asio::ssl::context* tls,
         const std::vector<ProxyRange>& trustedProxies, const ServerOptions& limits, int cap)
      : host_(host),
        tls_(tls),
        trustedProxies_(trustedProxies),
        limits_(limits),
        cap_(cap),
        sweep_(io_),
        stopTimer_(io_) {}

  bool Listen(const tcp::endpoint& endpoint, bool secure, uint16_t& boundPort, std::string& error) {
    auto acceptor = std::make_unique<tcp::acceptor>(io_);
    error_code ec;
    acceptor->open(endpoint.protocol(), ec);
    if (!ec)
      acceptor->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
      acceptor->set_option(ReusePort(true), ec);
    if (!ec)
      acceptor->bind(endpoint, ec);
    if (!ec)
      acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (!ec)
      boundPort = acceptor->local_endpoint(ec).port();
    if (ec) {
      error = "cannot listen on " + AddressText(endpoint.address()) + ":" +
              std::to_string(endpoint.port()) + ": " + ec.message();
      return false;
    }
    acceptors_.push_back({std::move(acceptor), secure});
    return true;
  }

  void Start() {
    for (auto& a : acceptors_)
      Accept(a);
    Sweep();
    thread_ = std::thread([this] {
      // A handler that throws (out of memory) loses its connection, not the
      // worker.
      for (;;) {
        try {
          io_.run();
          return;
        } catch (const std::exception& e) {
          std::fprintf(stderr, "kyrhost: worker: %s\n", e.what());
        }
      }
    });
  }

  // Posted from the stopping thread; everything else runs on this worker.
  // At `deadline` every connection still open is closed.
  void BeginStop(Clock::time_point deadline) {
    asio::post(io_, [this, deadline] {
      stopping_ = true;
      stopDeadline_ = deadline;
      for (auto& a : acceptors_) {
        error_code ignored;
        a.acceptor->close(ignored);
      }
      CloseExpired(Clock::now());
      if (sessions_.empty()) {
        sweep_.cancel();
        return;
      }
      stopTimer_.expires_at(deadline);
      stopTimer_.async_wait([this](error_code ec) {
        if (ec)
          return;
        std::vector<SessionBase*> open(sessions_.begin(), sessions_.end());
        for (SessionBase* s : open)
          s->Close();
      });
    });
  }
  void Join() {
    if (thread_.joinable())
      thread_.join();
  }

  bool Stopping() const { return stopping_; }
  FileCache& Files() { return files_; }
  std::string_view Date() { return date_.Get(); }
  const HostSettings& Host() const { return host_; }
  const ServerOptions& Limits() const { return limits_; }

  // A new connection, counted against `client`'s cap unless that is "".
  void Register(SessionBase* s, const std::string& client) {
    sessions_.insert(s);
    s->client = client;
    if (!client.empty())
      ++clients_[client];
    s->listed = true;
    s->older = newest_;
    s->newer = nullptr;
    (newest_ ? newest_->newer : oldest_) = s;
    newest_ = s;
    ++open_;
  }
  // A response streams a file: its descriptor counts against the cap like a
  // connection's, and room is made for it the same way.
  void HoldFile(SessionBase* s) {
    if (s->holdsFile || !s->listed)
      return;
    s->holdsFile = true;
    ++open_;
    while (open_ > cap_ && CloseIdlest(s)) {
    }
  }
  void ReleaseFile(SessionBase* s) {
    if (!s->holdsFile)
      return;
    s->holdsFile = false;
    --open_;
  }
  // The connection is closing: it no longer counts against any cap.
  void Forget(SessionBase* s) {
    ReleaseFile(s);
    if (!s->listed)
      return;
    s->listed = false;
    Unlink(s);
    --open_;
    if (!s->client.empty()) {
      auto it = clients_.find(s->client);
      if (it != clients_.end() && --it->second == 0)
        clients_.erase(it);
    }
  }
  void Unregister(SessionBase* s) {
    Forget(s);
    sessions_.erase(s);
    if (stopping_ && sessions_.empty()) {
      sweep_.cancel();
      stopTimer_.cancel();
    }
  }
  // A byte went either way: the connection becomes the least idle.
  void Touch(SessionBase* s, Clock::time_point now) {
    s->lastActivity = now;
    if (!s->listed || newest_ == s)
      return;
    Unlink(s);
    s->older = newest_;
    s->newer = nullptr;
    newest_->newer = s;
    newest_ = s;
  }

 private:
  struct Listener {
    std::unique_ptr<tcp::acceptor> acceptor;
    bool secure;
  };

  void Unlink(SessionBase* s) {
    (s->older ? s->older->newer : oldest_) = s->newer;
    (s->newer ? s->newer->older : newest_) = s->older;
    s->older = s->newer = nullptr;
  }

  // Closes the connection that has been quiet longest, other than `keep`:
  // one waiting for or reading a request if there is any, else the one
  // whose response has made the least recent progress (a client that
  // stopped reading). False when there is no other connection.
  bool CloseIdlest(SessionBase* keep) {
    SessionBase* writer = nullptr;
    for (SessionBase* s = oldest_; s; s = s->newer) {
      if (s == keep)
        continue;
      if (s->state != SessionBase::State::kWriting) {
        s->Close();
        return true;
      }
      if (!writer)
        writer = s;
    }
    if (!writer)
      return false;
    writer->Close();
    return true;
  }

  void Accept(Listener& listener) {
    listener.acceptor->async_accept([this, &listener](error_code ec, tcp::socket socket) {
      if (stopping_ || !listener.acceptor->is_open())
        return;
      if (ec) {
        // Out of descriptors (the module's files took more than was kept
        // for them): an idle connection makes room. Either way, or after a
        // connection reset while queued, try again shortly rather than spin.
        if (ec == asio::error::no_descriptors || ec.value() == ENFILE)
          CloseIdlest(nullptr);
        auto timer = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(50));
        timer->async_wait([this, &listener, timer](error_code) {
          if (!stopping_ && listener.acceptor->is_open())
            Accept(listener);
        });
        return;
      }
      StartSession(std::move(socket), listener.secure);
      Accept(listener);
    });
  }

  void StartSession(tcp::socket socket, bool secure);

  void CloseExpired(Clock::time_point now) {
    std::vector<SessionBase*> expired;
    bool pastStop = stopping_ && now >= stopDeadline_;
    for (SessionBase* s : sessions_) {
      bool close = pastStop;
      switch (s->state) {
        case SessionBase::State::kIdle:
          close = close || stopping_ || now - s->lastActivity > limits_.idleTimeout;
          break;
        case SessionBase::State::kHandshake:
        case SessionBase::State::kReading:
          close = close || now >= s->requestDeadline;
          break;
        case SessionBase::State::kWriting:
          // A client that does not read its response.
          close = close || now - s->lastActivity > limits_.idleTimeout;
          break;
        case SessionBase::State::kLingering:
          close = close || now - s->lastActivity > kLingerTime;
          break;
      }
      if (close)
        expired.push_back(s);
    }
    for (SessionBase* s : expired)
      s->Close();
  }

  void Sweep() {
    sweep_.expires_after(std::chrono::seconds(1));
    sweep_.async_wait([this](error_code ec) {
      if (ec)
        return;
      CloseExpired(Clock::now());
      if (!stopping_ || !sessions_.empty())
        Sweep();
    });
  }

  const HostSettings& host_;
  asio::ssl::context* tls_;
  std::vector<ProxyRange> trustedProxies_;
  const ServerOptions& limits_;
  const int cap_;
  // Declared before the io_context: a session destroyed with it still
  // unregisters, and its exchange still refers to the file cache.
  std::unordered_set<SessionBase*> sessions_;
  std::unordered_map<std::string, int> clients_;  // open connections per address
  SessionBase* oldest_ = nullptr;
  SessionBase* newest_ = nullptr;
  int open_ = 0;  // sessions listed (not closing)
  FileCache files_;
  HttpDate date_;
  bool stopping_ = false;
  Clock::time_point stopDeadline_;
  // Every descriptor of this context is used on the worker's thread alone
  // (the listeners are opened before it starts and closed after it ends;
  // a stop is posted), so the per-descriptor locks are dropped; posting
  // and timers stay locked.
  asio::io_context io_{BOOST_ASIO_CONCURRENCY_HINT_UNSAFE_IO};
  std::vector<Listener> acceptors_;
  asio::steady_timer sweep_;
  asio::steady_timer stopTimer_;
  std::thread thread_;
};

namespace {

template <class Stream>
tcp::socket& Socket(Stream& s) {
  if constexpr (std::is_same_v<Stream, tcp::socket>)
    return s;
  else
    return s.next_layer();
}

// One connection. Owned by the shared pointers its pending operations hold;
// registered with its worker while it lives.
template <class Stream>
class Session : public SessionBase, public std::enable_shared_from_this<Session<Stream>> {
  static constexpr bool kPlain = std::is_same_v<Stream, tcp::socket>;

 public:
  Session(Worker& worker, Stream stream, ConnectionInfo info, const std::string& client)
      : worker_(worker),
        stream_(std::move(stream)),
        info_(std::move(info)),
        exchange_(worker.Host(), info_, worker.Files()),
        buffer_(RequestParser::kHeaderLimit + 2 * kReadChunk) {
    // The handshake and the first request count from the acceptance.
    requestDeadline = lastActivity + worker_.Limits().requestTimeout;
    worker_.Register(this, client);
  }
  ~Session() override { worker_.Unregister(this); }

  void Start() {
    if constexpr (kPlain) {
      Parse(lastActivity);
    } else {
      state = State::kHandshake;
      stream_.async_handshake(asio::ssl::stream_base::server,
                              [self = this->shared_from_this()](error_code ec) {
                                if (ec || self->closed_) {
                                  self->Close();
                                  return;
                                }
                                Clock::time_point now = Clock::now();
                                self->worker_.Touch(self.get(), now);
                                self->Parse(now);
                              });
    }
  }

  // Also makes a read that completed before the close was seen count for
  // nothing: a request that arrives on a connection being closed is not
  // handled, since its response could not be sent.
  void Close() override {
    if (!closed_) {
      closed_ = true;
      worker_.Forget(this);
    }
    error_code ignored;
    Socket(stream_).close(ignored);
  }

 private:
  void Read() {
    // Between requests a kept-alive connection is idle; before its first
    // request, or once a request has begun, it is reading against the
    // request's deadline.
    state = buffer_.size() == 0 && !parser_ && served_ > 0 ? State::kIdle : State::kReading;
    size_t room = buffer_.max_size() - buffer_.size();
    if (room == 0) {
      Close();
      return;
    }
    stream_.async_read_some(
        buffer_.prepare(std::min(room, kReadChunk)),
        [self = this->shared_from_this()](error_code ec, size_t n) { self->OnRead(ec, n); });
  }

  void OnRead(error_code ec, size_t n) {
    if (ec || closed_) {
      Close();
      return;
    }
    Clock::time_point now = Clock::now();
    worker_.Touch(this, now);
    if (state == State::kIdle && n > 0) {
      // The next request's first byte: its deadline runs from here, and no
      // later byte moves it.
      state = State::kReading;
      requestDeadline = now + worker_.Limits().requestTimeout;
    }
    buffer_.commit(n);
    Parse(now);
  }

  // Feeds what has arrived to the parser; handles a complete request, asks
  // for more, or refuses a malformed one. `now` is when the last bytes
  // arrived (or the last response went out): close enough to the request's
  // handling for the file cache's once-a-second checks and the idle clock,
  // and one clock read fewer per request.
  void Parse(Clock::time_point now) {
    for (;;) {
      if (buffer_.size() == 0) {
        Read();
        return;
      }
      if (!parser_) {
        // A plain request whose head is all here is read in one pass;
        // anything else goes through the full parser.
        HttpRequest& request = exchange_.Request();
        request.Clear();
        size_t head = ParseSimpleRequest(static_cast<const char*>(buffer_.data().data()),
                                         buffer_.size(), request);
        if (head > 0) {
          buffer_.consume(head);
          if (!Answer(now))
            return;
          continue;
        }
        request.Clear();
        parser_.emplace(request);
      }
      error_code ec;
      size_t used = parser_->put(buffer_.data(), ec);
      buffer_.consume(used);
      if (ec == boost::beast::http::error::need_more) {
        Read();
        return;
      }
      if (ec) {
        int status = parser_->RefusalStatus(ec);
        parser_.reset();
        exchange_.Refuse(status, worker_.Date());
        if (SendNow(now))
          ResponseSent();  // the refusal closes the connection: lingers
        return;
      }
      if (parser_->is_done()) {
        exchange_.Request().keepAlive = parser_->keep_alive();
        parser_.reset();
        if (!Answer(now))
          return;
      }
    }
  }

  // Handles the request just parsed and sends its response. True when the
  // connection goes on at once with a pipelined request already here (in
  // the caller's loop, not by recursion, however many there are); false
  // when something else carries on: the write's completion, a read, the
  // close.
  bool Answer(Clock::time_point now) {
    state = State::kWriting;
    exchange_.Handle(worker_.Date(), worker_.Stopping(), now);
    if (!exchange_.HasResponse()) {
      Close();
      return false;
    }
    if (!SendNow(now) || !ResponseSent())
      return false;
    if (buffer_.size() > 0)
      return true;
    // The client has not had the time to send its next request: a read
    // now would find nothing, a system call spent. The other connections'
    // ready work goes first, as after an asynchronous write. Meanwhile the
    // connection is idle, as the read will find it: a stop that begins
    // before the read closes it at once, and room is made from it first.
    state = State::kIdle;
    asio::post(stream_.get_executor(), [self = this->shared_from_this()] {
      if (self->closed_)
        return;
      self->Read();
    });
    return false;
  }

  // Sends the response: true when it went out whole at once, as a small
  // response to a client that reads normally does, with one system call
  // and no trip through the io_context; the caller carries on with the
  // connection then. False when an asynchronous write (or the connection's
  // close) has taken over; its completion carries on.
  bool SendNow(Clock::time_point now) {
    state = State::kWriting;
    size_t sent = 0;
    if constexpr (kPlain) {
      if (exchange_.BodyFd() < 0) {
        std::string_view head = exchange_.Head();
        std::string_view body = exchange_.Body();
        iovec parts[2] = {{const_cast<char*>(head.data()), head.size()},
                          {const_cast<char*>(body.data()), body.size()}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = body.empty() ? 1 : 2;
        ssize_t n;
        do {
          n = ::sendmsg(stream_.native_handle(), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
          Close();
          return false;
        }
        sent = n > 0 ? static_cast<size_t>(n) : 0;
        if (sent == head.size() + body.size()) {
          worker_.Touch(this, now);
          exchange_.ReleaseBody();
          return true;
        }
      }
    }
    Write(sent);
    return false;
  }

  // Writes the response asynchronously, less its first `sent` bytes (taken
  // by the socket already), then streams the body's file if there is one.
  void Write(size_t sent) {
    std::string_view head = exchange_.Head();
    std::string_view body = exchange_.Body();
    size_t fromHead = std::min(sent, head.size());
    std::array<asio::const_buffer, 2> buffers{
        asio::buffer(head.data() + fromHead, head.size() - fromHead),
        asio::buffer(body.data() + (sent - fromHead), body.size() - (sent - fromHead))};
    asio::async_write(stream_, buffers, [self = this->shared_from_this()](error_code ec, size_t) {
      if (ec || self->closed_) {
        self->Close();
        return;
      }
      self->worker_.Touch(self.get(), Clock::now());
      self->streamed_ = 0;
      self->StreamBody();
    });
  }

  // Sends a file too large to hold in memory, one chunk at a time, each
  // read only when the previous one has been taken by the client.
  void StreamBody() {
    int fd = exchange_.BodyFd();
    uint64_t size = exchange_.BodyFileSize();
    if (fd < 0 || streamed_ >= size) {
      chunk_.reset();
      exchange_.ReleaseBody();
      worker_.ReleaseFile(this);
      OnWrite();
      return;
    }
    worker_.HoldFile(this);
    if (!chunk_)
      chunk_.reset(new char[kStreamChunk]);
    size_t want = static_cast<size_t>(std::min<uint64_t>(kStreamChunk, size - streamed_));
    ssize_t n;
    do {
      n = ::pread(fd, chunk_.get(), want, static_cast<off_t>(streamed_));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      // The file shrank after its length was sent: the response cannot be
      // completed, and only closing tells the client so.
      Close();
      return;
    }
    asio::async_write(stream_, asio::buffer(chunk_.get(), static_cast<size_t>(n)),
                      [self = this->shared_from_this()](error_code ec, size_t written) {
                        if (ec || self->closed_) {
                          self->Close();
                          return;
                        }
                        self->worker_.Touch(self.get(), Clock::now());
                        self->streamed_ += written;
                        self->StreamBody();
                      });
  }

  void OnWrite() {
    if (ResponseSent())
      Parse(lastActivity);
  }

  // The response is out: true when the connection goes on to its next
  // request (a pipelined one already here starts now), false when it
  // lingers to its close.
  bool ResponseSent() {
    ++served_;
    if (exchange_.CloseAfter() || worker_.Stopping()) {
      Linger();
      return false;
    }
    requestDeadline = lastActivity + worker_.Limits().requestTimeout;
    return true;
  }

  // Ends the connection after its last response without losing that
  // response: closing with unread input (the rest of a refused request, a
  // pipelined one) would reset the connection, and a reset can discard the
  // response before the client reads it. So the sending side is shut, and
  // input is read and dropped until the client closes, or for a few seconds.
  void Linger() {
    state = State::kLingering;
    error_code ignored;
    Socket(stream_).shutdown(tcp::socket::shutdown_send, ignored);
    Drain();
  }
  void Drain() {
    buffer_.clear();
    Socket(stream_).async_read_some(buffer_.prepare(kReadChunk),
                                    [self = this->shared_from_this()](error_code ec, size_t) {
                                      if (ec || self->closed_) {
                                        self->Close();
                                        return;
                                      }
                                      self->Drain();
                                    });
  }

  Worker& worker_;
  Stream stream_;
  ConnectionInfo info_;
  HttpExchange exchange_;
  boost::beast::flat_buffer buffer_;
  std::optional<RequestParser> parser_;
  std::unique_ptr<char[]> chunk_;  // while a large file is being sent
  uint64_t streamed_ = 0;
  uint64_t served_ = 0;  // responses written
  bool closed_ = false;
};

// The key a client's connections are counted under: its address, or for
// IPv6 its /64, the block one subscriber is normally given (any address in
// it is theirs to use).
std::string ClientKey(const tcp::socket& socket) {
  error_code ec;
  tcp::endpoint remote = socket.remote_endpoint(ec);
  if (ec)
    return "?";
  asio::ip::address a = remote.address();
  if (a.is_v6() && !a.to_v6().is_v4_mapped()) {
    asio::ip::address_v6::bytes_type bytes = a.to_v6().to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return asio::ip::address_v6(bytes).to_string() + "/64";
  }
  return AddressText(a);
}

ConnectionInfo DescribeConnection(const tcp::socket& socket, bool secure) {
  ConnectionInfo info;
  info.secure = secure;
  error_code ec;
  tcp::endpoint remote = socket.remote_endpoint(ec);
  if (!ec) {
    info.remoteAddr = AddressText(remote.address());
    info.remotePort = std::to_string(remote.port());
  }
  tcp::endpoint local = socket.local_endpoint(ec);
  if (!ec) {
    info.localAddr = AddressText(local.address());
    info.localPort = std::to_string(local.port());
  }
  return info;
}

}  // namespace

void Worker::StartSession(tcp::socket socket, bool secure) {
  error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  ConnectionInfo info = DescribeConnection(socket, secure);
  error_code ec;
  const tcp::endpoint remote = socket.remote_endpoint(ec);
  if (!ec) {
    for (const ProxyRange& proxy : trustedProxies_)
      info.trustedProxy = info.trustedProxy || proxy.Contains(remote.address());
  }
  // A proxy speaks for many clients: its connections count against the
  // worker's cap only.
  std::string client = info.trustedProxy ? std::string() : ClientKey(socket);
  if (limits_.maxClientConnections > 0 && !client.empty()) {
    auto it = clients_.find(client);
    if (it != clients_.end() && it->second >= limits_.maxClientConnections) {
      socket.close(ignored);
      return;
    }
  }
  while (open_ >= cap_) {
    if (!CloseIdlest(nullptr)) {
      socket.close(ignored);
      return;
    }
  }
  if (secure) {
    using TlsStream = asio::ssl::stream<tcp::socket>;
    auto session = std::make_shared<Session<TlsStream>>(*this, TlsStream(std::move(socket), *tls_),
                                                        std::move(info), client);
    session->Start();
  } else {
    auto session =
        std::make_shared<Session<tcp::socket>>(*this, std::move(socket), std::move(info), client);
    session->Start();
  }
}

// ---------------------------------------------------------------------------

Server::Server(const HostSettings& host, const ServerOptions& options)
    : host_(host), options_(options) {}

Server::~Server() {
  Stop();
}

bool Server::Bind(std::string& error) {
  error_code ec;
  asio::ip::address address = asio::ip::make_address(options_.listen.address, ec);
  if (ec) {
    error = "not a numeric IP address: " + options_.listen.address;
    return false;
  }
  asio::ip::address tlsAddress;
  if (options_.tls) {
    tlsAddress = asio::ip::make_address(options_.tlsListen.address, ec);
    if (ec) {
      error = "not a numeric IP address: " + options_.tlsListen.address;
      return false;
    }
    tls_ = std::make_unique<TlsContext>();
    auto& ctx = tls_->context;
    ctx.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                    asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                    asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
    ctx.use_certificate_chain_file(options_.tlsCert, ec);
    if (ec) {
      error = "cannot use the TLS certificate " + options_.tlsCert + ": " + ec.message();
      return false;
    }
    ctx.use_private_key_file(options_.tlsKey, asio::ssl::context::pem, ec);
    if (ec) {
      error = "cannot use the TLS key " + options_.tlsKey + ": " + ec.message();
      return false;
    }
  }
  int threads = options_.threads < 1 ? 1 : options_.threads;
  std::vector<ProxyRange> trusted;
  for (const std::string& proxy : options_.trustedProxies) {
    ProxyRange range;
    if (!ProxyRange::Parse(proxy, &range)) {
      error =
          "--trusted-proxy wants a numeric IP address or an address block (ADDR/PREFIX), not \"" +
          proxy + "\"";
      return false;
    }
    trusted.push_back(range);
  }
  // Every worker's connections together stay within the open-files limit,
  // so that accepting never fails for want of a descriptor while the cap
  // can still make room by closing an idle connection.
  struct rlimit limit {};
  int64_t files = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                      ? static_cast<int64_t>(limit.rlim_cur)
                      : int64_t{1} << 20;
  int64_t perWorker = (files - kReservedDescriptors) / threads;
  if (perWorker < 16)
    perWorker = 16;
  if (options_.maxConnections > 0 && options_.maxConnections < perWorker)
    perWorker = options_.maxConnections;
  connectionCap_ = static_cast<int>(perWorker);
  uint16_t port = options_.listen.port;
  uint16_t tlsPort = options_.tlsListen.port;
  for (int i = 0; i < threads; ++i) {
    auto worker = std::make_unique<Worker>(host_, tls_ ? &tls_->context : nullptr, trusted,
                                           options_, connectionCap_);
    // The first worker settles a port asked for as 0; the others share it.
    if (!worker->Listen(tcp::endpoint(address, port), false, port, error))
      return false;
    if (options_.tls && !worker->Listen(tcp::endpoint(tlsAddress, tlsPort), true, tlsPort, error))
      return false;
    workers_.push_back(std::move(worker));
  }
  port_ = port;
  tlsPort_ = tlsPort;
  bound_ = true;
  return true;
}

void Server::Run() {
  if (!bound_ || started_)
    return;
  for (auto& w : workers_)
    w->Start();
  started_ = true;
}

bool Server::Start(std::string& error) {
  if (!Bind(error))
    return false;
  Run();
  return true;
}

void Server::Stop() {
  if (!started_)
    return;
  started_ = false;
  Clock::time_point deadline = Clock::now() + options_.stopTimeout;
  for (auto& w : workers_)
    w->BeginStop(deadline);
  for (auto& w : workers_)
    w->Join();
  workers_.clear();
}

}  // namespace kyrhost
