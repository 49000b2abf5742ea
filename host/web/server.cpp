// The web server's network side.
//
// Built on Boost.Beast and Asio (Debian's libboost-dev, headers only): every
// connection, the meter stream's clock and the accepting run on one Asio
// thread, so the bounds are plain counts checked where a connection arrives,
// and a refused connection is still answered with a status (503) instead of
// waiting in a thread pool's queue. Each stream client has room for one frame
// in flight: while its last frame is unsent, new ones skip it, and a client
// that has taken none for streamStallSeconds is dropped; no client delays
// another. (cpp-httplib's fixed pool of blocking threads cannot hold a
// thousand idle connections or fifty streams without a thread each, nor answer
// the excess; libwebsockets would bring its own event loop and build options.)
#include "host/web/server.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <list>
#include <thread>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "host/web/api.h"

namespace plumbra::host::web {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

Result<WebOptions> parseHttpAddress(const std::string& text)
{
    WebOptions o;
    std::string port = text;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find("]:");
        if (close == std::string::npos)
            return Status::fail(kExitUsage, "--http: expected [IPV6]:PORT, got \"" + text + "\"");
        o.address = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
        o.address = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    boost::system::error_code ec;
    net::ip::make_address(o.address, ec);
    if (ec || o.address.empty()) return Status::fail(kExitUsage, "--http: \"" + o.address + "\" is not an IP address");
    char* end = nullptr;
    const long p = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || end != port.c_str() + port.size() || p < 1 || p > 65535)
        return Status::fail(kExitUsage, "--http: the port must be 1 to 65535, got \"" + port + "\"");
    o.port = static_cast<int>(p);
    return o;
}

std::string defaultTokenFile()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state == '/') return std::string(state) + "/plumbra/token";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.local/state/plumbra/token";
}

Result<std::string> loadOrCreateToken(const std::string& path)
{
    namespace fs = std::filesystem;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return Status::fail(kExitUsage, "token file " + path + " is not a regular file");
        }
        if ((st.st_mode & 077) != 0) {
            ::close(fd);
            return Status::fail(kExitUsage, "token file " + path + " may be read by others (chmod 600 it)");
        }
        char buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        ::close(fd);
        std::string token(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
        while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' '))
            token.pop_back();
        if (token.size() < 16 || token.size() > 200 || token.find_first_of(" \t\r\n") != std::string::npos)
            return Status::fail(kExitUsage, "token file " + path + " holds no usable token (16 to 200 characters)");
        return token;
    }
    if (errno != ENOENT)
        return Status::fail(kExitUsage, "cannot read token file " + path + ": " + std::strerror(errno));

    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty()) {
        std::error_code ec;
        if (!fs::exists(parent, ec)) {
            fs::create_directories(parent, ec);
            if (ec) return Status::fail(kExitUsage, "cannot create " + parent.string() + ": " + ec.message());
            ::chmod(parent.c_str(), 0700);
        }
    }
    unsigned char random[32];
    std::size_t got = 0;
    while (got < sizeof random) {
        const ssize_t n = ::getrandom(random + got, sizeof random - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Status::fail(kExitInternal, std::string("no random numbers: ") + std::strerror(errno));
        }
        got += static_cast<std::size_t>(n);
    }
    static const char* hex = "0123456789abcdef";
    std::string token;
    for (unsigned char b : random) {
        token += hex[b >> 4];
        token += hex[b & 15];
    }
    const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) return Status::fail(kExitUsage, "cannot create token file " + path + ": " + std::strerror(errno));
    const std::string line = token + "\n";
    const bool written = ::write(out, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(out);
    if (!written) return Status::fail(kExitUsage, "cannot write token file " + path);
    return token;
}

namespace {

class Server;

const char* reasonOf(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 422: return "Unprocessable Content";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    case 507: return "Insufficient Storage";
    default: return "Status";
    }
}

// A whole short answer with its own text, for the cases that end a connection.
std::shared_ptr<std::string> closingAnswer(int status, const std::string& why)
{
    const std::string body = "{\"error\":\"" + why + "\"}";
    return std::make_shared<std::string>(
        "HTTP/1.1 " + std::to_string(status) + " " + reasonOf(status) +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n" + (status == 503 ? "Retry-After: 1\r\n" : "") + "\r\n" + body);
}

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(Server& server, tcp::socket socket);
    ~Session();
    void start();
    // Ends a connection that waits for a request, telling it 503 (another takes its place).
    void evict();
    // Offers one frame of the meter stream; skipped while the last is unsent.
    void offer(const std::shared_ptr<const std::string>& frame);
    void close();

    bool waiting() const { return state_ == State::kWaiting; }
    Clock::time_point idleSince() const { return idleSince_; }

private:
    enum class State { kWaiting, kBusy, kStreaming, kClosing };
    void read();
    void onRead(beast::error_code ec);
    void answer(int status, const std::string& why);
    void finishClosing(const std::shared_ptr<std::string>& text);
    void startStream();

    Server& server_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::shared_ptr<void> response_;
    State state_ = State::kWaiting;
    Clock::time_point idleSince_ = Clock::now();
    bool registered_ = false;
    std::list<Session*>::iterator entry_;
    bool streamWriting_ = false;
    Clock::time_point lastSent_;
    friend class Server;
};

class Server final : public WebServer {
public:
    Server(remote::Remote& remote, const WebOptions& options, std::string token)
        : options_(options)
        , token_(std::move(token))
        , remote_(remote)
        , acceptor_(ioc_)
        , retry_(ioc_)
        , clock_(ioc_)
    {
    }

    ~Server() override
    {
        if (thread_.joinable()) {
            // Closed on the server's own thread, which alone touches the connections; whatever
            // is still pending then is dropped with the context.
            auto closed = std::make_shared<std::promise<void>>();
            net::post(ioc_, [this, closed] {
                stopping_ = true;
                boost::system::error_code ec;
                acceptor_.close(ec);
                retry_.cancel();
                clock_.cancel();
                for (Session* s : std::list<Session*>(sessions_)) s->close();
                closed->set_value();
            });
            closed->get_future().wait_for(std::chrono::seconds(5));
        }
        ioc_.stop();
        if (thread_.joinable()) thread_.join();
    }

    Status listen()
    {
        boost::system::error_code ec;
        const auto address = net::ip::make_address(options_.address, ec);
        if (ec) return Status::fail(kExitUsage, "web server: \"" + options_.address + "\" is not an IP address");
        const tcp::endpoint at(address, static_cast<unsigned short>(options_.port));
        acceptor_.open(at.protocol(), ec);
        if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
        if (!ec) acceptor_.bind(at, ec);
        if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
        if (ec)
            return Status::fail(kExitUsage, "web server: cannot listen on " + options_.address + ":" +
                                                std::to_string(options_.port) + ": " + ec.message());
        port_ = acceptor_.local_endpoint().port();
        api_ = std::make_unique<Api>(remote_, options_, token_, port_);
        return Status::success();
    }

    void run()
    {
        accept();
        tick();
        thread_ = std::thread([this] {
            for (;;) {
                try {
                    ioc_.run();
                    return;
                } catch (const std::exception&) {
                    // A handler failed (e.g. memory): that connection is gone, the server goes on.
                }
            }
        });
    }

    int port() const override { return port_; }
    std::string token() const override { return token_; }
    std::string url() const override
    {
        const bool v6 = options_.address.find(':') != std::string::npos;
        return "http://" + (v6 ? "[" + options_.address + "]" : options_.address) + ":" + std::to_string(port_) + "/";
    }

    const WebOptions& options() const { return options_; }
    Api& api() { return *api_; }

    void enlist(Session* s)
    {
        s->entry_ = sessions_.insert(sessions_.end(), s);
        s->registered_ = true;
    }
    void delist(Session* s)
    {
        if (!s->registered_) return;
        sessions_.erase(s->entry_);
        s->registered_ = false;
        streams_.remove(s);
    }
    bool addStream(Session* s)
    {
        if (static_cast<int>(streams_.size()) >= options_.maxStreams) return false;
        streams_.push_back(s);
        return true;
    }

private:
    void accept()
    {
        acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
            if (stopping_) return;
            if (ec) {
                // Out of file descriptors: wait a little rather than spin.
                retry_.expires_after(std::chrono::milliseconds(50));
                retry_.async_wait([this](boost::system::error_code e) {
                    if (!e && !stopping_) accept();
                });
                return;
            }
            admit(std::move(socket));
            accept();
        });
    }

    void admit(tcp::socket socket)
    {
        if (static_cast<int>(sessions_.size()) >= options_.maxConnections) {
            // Full: the connection idle longest gives way; when every one is busy, refuse.
            Session* victim = nullptr;
            for (Session* s : sessions_)
                if (s->waiting() && (!victim || s->idleSince() < victim->idleSince())) victim = s;
            if (!victim) {
                refuse(std::move(socket));
                return;
            }
            victim->evict();
        }
        std::make_shared<Session>(*this, std::move(socket))->start();
    }

    void refuse(tcp::socket socket)
    {
        if (refusing_ >= 256) return;  // closed without a word only under a flood of refusals
        ++refusing_;
        auto s = std::make_shared<beast::tcp_stream>(std::move(socket));
        auto text = closingAnswer(503, "too many connections");
        s->expires_after(std::chrono::seconds(2));
        net::async_write(*s, net::buffer(*text), [this, s, text](boost::system::error_code, std::size_t) {
            --refusing_;
            boost::system::error_code e;
            s->socket().shutdown(tcp::socket::shutdown_both, e);
            s->close();
        });
    }

    void tick()
    {
        // On a fixed schedule from the start, so that the rate does not drift by the work done.
        const auto period = std::chrono::microseconds(1000000 / std::max(1, options_.streamRate));
        const auto now = Clock::now();
        nextTick_ = nextTick_ + period < now - period ? now : nextTick_ + period;
        clock_.expires_at(nextTick_);
        clock_.async_wait([this](boost::system::error_code ec) {
            if (ec || stopping_) return;
            if (!streams_.empty()) {
                auto frame = std::make_shared<const std::string>("data: " + api_->streamFrame() + "\n\n");
                for (Session* s : std::list<Session*>(streams_)) s->offer(frame);
            }
            tick();
        });
    }

    WebOptions options_;
    std::string token_;
    remote::Remote& remote_;
    std::unique_ptr<Api> api_;
    int port_ = 0;
    bool stopping_ = false;
    int refusing_ = 0;
    Clock::time_point nextTick_ = Clock::now();
    std::list<Session*> sessions_;
    std::list<Session*> streams_;
    // Declared after the lists: handlers destroyed with the context still find them.
    net::io_context ioc_{1};
    tcp::acceptor acceptor_;
    net::steady_timer retry_;
    net::steady_timer clock_;
    std::thread thread_;
};

Session::Session(Server& server, tcp::socket socket)
    : server_(server)
    , stream_(std::move(socket))
{
}

Session::~Session()
{
    server_.delist(this);
}

void Session::start()
{
    server_.enlist(this);
    read();
}

std::chrono::steady_clock::duration seconds(double s)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

void Session::read()
{
    state_ = State::kWaiting;
    idleSince_ = Clock::now();
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(server_.options().maxHeaderBytes));
    parser_->body_limit(server_.options().maxBodyBytes);
    stream_.expires_after(seconds(server_.options().idleSeconds));
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
}

void Session::onRead(beast::error_code ec)
{
    if (state_ == State::kClosing) return;
    if (ec == http::error::end_of_stream || ec == net::error::connection_reset || ec == net::error::eof) {
        close();
        return;
    }
    if (ec == beast::error::timeout) {
        if (buffer_.size() == 0 && !parser_->got_some())
            close();
        else
            answer(408, "the request took too long");
        return;
    }
    if (ec == http::error::header_limit) return answer(431, "the request's headers are too large");
    if (ec == http::error::body_limit) return answer(413, "the request's body is too large");
    if (ec) return answer(400, "malformed request");

    const auto& req = parser_->get();
    int fields = 0;
    for (auto it = req.begin(); it != req.end(); ++it) ++fields;
    if (fields > server_.options().maxHeaderFields) return answer(431, "too many header fields");

    state_ = State::kBusy;
    ApiRequest r;
    r.method = std::string(req.method_string());
    r.target = std::string(req.target());
    r.host = std::string(req[http::field::host]);
    if (req.find(http::field::origin) != req.end()) {
        r.hasOrigin = true;
        r.origin = std::string(req[http::field::origin]);
    }
    r.authorization = std::string(req[http::field::authorization]);
    r.body = req.body();
    const bool keepAlive = req.keep_alive();
    const unsigned version = req.version();
    const bool head = req.method() == http::verb::head;

    ApiResponse a = server_.api().handle(r);
    if (a.stream) return startStream();

    auto res = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(a.status), version);
    res->set(http::field::server, "plumbra");
    res->set(http::field::content_type, a.contentType);
    for (const auto& [k, v] : a.headers) res->set(k, v);
    res->keep_alive(keepAlive);
    res->body() = std::move(a.body);
    res->prepare_payload();
    if (head) res->body().clear();
    response_ = res;
    stream_.expires_after(seconds(server_.options().requestSeconds));
    http::async_write(stream_, *res, [self = shared_from_this(), res](beast::error_code e, std::size_t) {
        if (self->state_ == State::kClosing) return;
        if (e || res->need_eof()) return self->close();
        self->response_.reset();
        self->read();
    });
}

void Session::answer(int status, const std::string& why)
{
    state_ = State::kClosing;
    server_.delist(this);
    finishClosing(closingAnswer(status, why));
}

void Session::evict()
{
    if (state_ == State::kClosing) return;
    answer(503, "too many connections");
}

void Session::finishClosing(const std::shared_ptr<std::string>& text)
{
    stream_.expires_after(std::chrono::seconds(2));
    net::async_write(stream_, net::buffer(*text), [self = shared_from_this(), text](beast::error_code, std::size_t) {
        beast::error_code e;
        self->stream_.socket().shutdown(tcp::socket::shutdown_both, e);
        self->stream_.socket().close(e);
    });
}

void Session::close()
{
    state_ = State::kClosing;
    server_.delist(this);
    beast::error_code e;
    stream_.socket().shutdown(tcp::socket::shutdown_both, e);
    stream_.socket().close(e);
}

void Session::startStream()
{
    if (!server_.addStream(this)) return answer(503, "too many stream clients");
    state_ = State::kStreaming;
    stream_.expires_never();
    // A small send buffer: a client that stops reading is found out within seconds, and
    // holds little memory meanwhile.
    beast::error_code ignored;
    stream_.socket().set_option(net::socket_base::send_buffer_size(32 * 1024), ignored);
    lastSent_ = Clock::now();
    auto head = std::make_shared<const std::string>(
        "HTTP/1.1 200 OK\r\nServer: plumbra\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
        "X-Accel-Buffering: no\r\nConnection: close\r\n\r\nretry: 2000\n\n");
    offer(head);
    // A read that ends when the client goes away (nothing else is read from a stream client).
    auto sink = std::make_shared<std::array<char, 256>>();
    stream_.socket().async_read_some(net::buffer(*sink),
                                     [self = shared_from_this(), sink](beast::error_code ec, std::size_t) {
                                         if (ec && self->state_ == State::kStreaming) self->close();
                                     });
}

void Session::offer(const std::shared_ptr<const std::string>& frame)
{
    if (state_ != State::kStreaming) return;
    if (streamWriting_) {
        if (Clock::now() - lastSent_ > seconds(server_.options().streamStallSeconds)) close();
        return;  // this client skips the frame
    }
    streamWriting_ = true;
    net::async_write(stream_.socket(), net::buffer(*frame),
                     [self = shared_from_this(), frame](beast::error_code ec, std::size_t) {
                         self->streamWriting_ = false;
                         if (self->state_ != State::kStreaming) return;
                         if (ec) return self->close();
                         self->lastSent_ = Clock::now();
                     });
}

}  // namespace

Result<std::unique_ptr<WebServer>> startWebServer(remote::Remote& remote, const WebOptions& options)
{
    const std::string tokenFile = options.tokenFile.empty() ? defaultTokenFile() : options.tokenFile;
    auto token = loadOrCreateToken(tokenFile);
    if (!token.ok()) return token.status();
    if (!options.presetDir.empty()) {
        std::error_code ec;
        if (!std::filesystem::is_directory(options.presetDir, ec))
            return Status::fail(kExitUsage, "preset folder " + options.presetDir + " does not exist");
    }
    auto server = std::make_unique<Server>(remote, options, token.value());
    const Status s = server->listen();
    if (!s.ok()) return s;
    server->run();
    return std::unique_ptr<WebServer>(std::move(server));
}

}  // namespace plumbra::host::web
