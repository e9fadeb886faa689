#include "view/server.h"

#include <utility>  // before Asio: it needs std::exchange

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <chrono>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "view/access.h"

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace kavri::view {
namespace {

// Text messages waiting for one page; past this the oldest go (they are
// status lines and answers, and a page that far behind is gone anyway).
constexpr size_t kMaxQueuedTexts = 64;
// Largest message a page may send: its commands are one short line.
constexpr size_t kMaxPageMessage = 4096;
// An HTTP connection that says nothing for this long is closed.
constexpr std::chrono::seconds kHttpIdle{30};
constexpr std::string_view kWebSocketPath = "/ws";
constexpr std::string_view kThreePrefix = "/three/";
constexpr std::string_view kDownloadPrefix = "/download/";
constexpr std::string_view kIndexName = "index.html";
// Replaced by the token in index.html, so the page's own URLs carry it.
constexpr std::string_view kTokenMarker = "{{TOKEN}}";
constexpr const char *kServerName = "kavri-cli view";

using Request = http::request<http::string_body>;

std::string_view sv(beast::string_view s) {
    return {s.data(), s.size()};
}
using Response = http::response<http::string_body>;

std::string mime_of(std::string_view path) {
    auto ends = [&](std::string_view ext) {
        return path.size() >= ext.size() && path.substr(path.size() - ext.size()) == ext;
    };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    if (ends(".png")) return "image/png";
    if (ends(".json")) return "application/json";
    return "application/octet-stream";
}

// A path below a served folder: plain names only, nothing that climbs out.
bool safe_relative(std::string_view p) {
    if (p.empty() || p.front() == '/' || p.find("..") != std::string_view::npos ||
        p.find("//") != std::string_view::npos)
        return false;
    for (char c : p) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-' || c == '/';
        if (!ok) return false;
    }
    return true;
}

std::optional<std::string> read_whole(const std::filesystem::path &p) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(p, ec)) return std::nullopt;
    std::ifstream in(p, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

Response make_response(const Request &req, http::status status, std::string content_type,
                       std::string body) {
    Response res{status, req.version()};
    res.set(http::field::server, kServerName);
    res.set(http::field::content_type, content_type);
    // The token is in the address: never hand it on to another site, and
    // keep nothing in caches.
    res.set(http::field::cache_control, "no-store");
    res.set("Referrer-Policy", "no-referrer");
    res.set("X-Content-Type-Options", "nosniff");
    res.keep_alive(req.keep_alive());
    res.body() = std::move(body);
    res.prepare_payload();
    return res;
}

Response text_response(const Request &req, http::status status, std::string text) {
    return make_response(req, status, "text/plain; charset=utf-8", std::move(text) + "\n");
}

}  // namespace

class WsSession;

struct Server::Impl {
    // First member: destroyed last, after the pending handlers (and the
    // sessions they hold) are gone.
    net::io_context ioc{1};
    ServerConfig cfg;
    ServerHooks hooks;
    bool loopback = true;
    tcp::acceptor acceptor{ioc};
    std::thread thread;
    std::vector<std::weak_ptr<WsSession>> sessions;  // the I/O thread's only

    std::mutex latest_mu;
    std::shared_ptr<const std::string> latest;  // published, not yet handed to the sessions
    bool hand_out_posted = false;

    std::atomic<uint64_t> frames_sent{0}, frames_superseded{0}, refused{0};
    std::atomic<uint32_t> clients{0};

    void accept_next();
    Response handle(const Request &req);
    Response refuse(const Request &req, const char *why) {
        ++refused;
        return text_response(req, http::status::forbidden, std::string("forbidden: ") + why);
    }
    // nullptr when a WebSocket upgrade may go ahead, else why not.
    const char *upgrade_refusal(const Request &req) const;
    // nullptr when any request passes the access checks, else why not.
    const char *refusal(const Request &req) const;
    template <typename F>
    void for_each_session(F f);
};

// One page's WebSocket. Everything runs on the I/O thread; the Client calls
// from other threads post there.
class WsSession : public Client, public std::enable_shared_from_this<WsSession> {
  public:
    WsSession(tcp::socket &&socket, Server::Impl *server)
        : ws_(std::move(socket)), server_(server) {}

    void run(Request req) {
        req_ = std::move(req);
        ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type &res) { res.set(http::field::server, kServerName); }));
        ws_.read_message_max(kMaxPageMessage);
        ws_.async_accept(req_,
                         beast::bind_front_handler(&WsSession::on_accept, shared_from_this()));
    }

    void send_text(std::string text) override {
        net::post(ws_.get_executor(), [self = shared_from_this(), t = std::move(text)]() mutable {
            self->queue_text(std::move(t));
        });
    }
    void send_binary(std::shared_ptr<const std::string> data) override {
        net::post(ws_.get_executor(), [self = shared_from_this(), d = std::move(data)]() mutable {
            self->binaries_.push_back(std::move(d));
            self->pump();
        });
    }

    // I/O thread: the newest frame replaces one this page has not taken.
    void offer_frame(const std::shared_ptr<const std::string> &frame) {
        if (!open_) return;
        if (frame_) ++server_->frames_superseded;
        frame_ = frame;
        pump();
    }
    void queue_text(std::string text) {
        if (!open_) return;
        if (texts_.size() >= kMaxQueuedTexts) texts_.pop_front();
        texts_.push_back(std::make_shared<const std::string>(std::move(text)));
        pump();
    }

  private:
    void on_accept(beast::error_code ec) {
        if (ec) return;
        open_ = true;
        server_->sessions.push_back(weak_from_this());
        ++server_->clients;
        if (server_->hooks.on_open) server_->hooks.on_open(shared_from_this());
        read();
    }

    void read() {
        ws_.async_read(in_, beast::bind_front_handler(&WsSession::on_read, shared_from_this()));
    }

    void on_read(beast::error_code ec, std::size_t) {
        if (ec) return closed();
        if (ws_.got_text() && server_->hooks.on_text)
            server_->hooks.on_text(shared_from_this(), beast::buffers_to_string(in_.data()));
        in_.consume(in_.size());
        read();
    }

    void closed() {
        if (!open_) return;
        open_ = false;
        --server_->clients;
        frame_.reset();
        texts_.clear();
        binaries_.clear();
    }

    // Starts the next write when none is running: answers first, then
    // binary data, then the newest frame.
    void pump() {
        if (writing_ || !open_) return;
        bool text = false, frame = false;
        if (!texts_.empty()) {
            current_ = std::move(texts_.front());
            texts_.pop_front();
            text = true;
        } else if (!binaries_.empty()) {
            current_ = std::move(binaries_.front());
            binaries_.pop_front();
        } else if (frame_) {
            current_ = std::move(frame_);
            frame_.reset();
            frame = true;
        } else {
            return;
        }
        writing_ = true;
        ws_.text(text);
        ws_.async_write(net::buffer(*current_),
                        [self = shared_from_this(), frame](beast::error_code ec, std::size_t) {
                            self->writing_ = false;
                            self->current_.reset();
                            if (ec) return self->closed();
                            if (frame) ++self->server_->frames_sent;
                            self->pump();
                        });
    }

    websocket::stream<beast::tcp_stream> ws_;
    Server::Impl *server_;
    Request req_;
    beast::flat_buffer in_;
    bool open_ = false, writing_ = false;
    std::shared_ptr<const std::string> current_, frame_;
    std::deque<std::shared_ptr<const std::string>> texts_, binaries_;
};

template <typename F>
void Server::Impl::for_each_session(F f) {
    auto live = sessions.begin();
    for (auto &w : sessions)
        if (auto s = w.lock()) {
            f(*s);
            *live++ = w;
        }
    sessions.erase(live, sessions.end());
}

// One HTTP connection: requests answered one after the other until it
// closes or turns into a WebSocket.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
  public:
    HttpSession(tcp::socket &&socket, Server::Impl *server)
        : stream_(std::move(socket)), server_(server) {}

    void read() {
        req_ = {};
        stream_.expires_after(kHttpIdle);
        http::async_read(stream_, buf_, req_,
                         beast::bind_front_handler(&HttpSession::on_read, shared_from_this()));
    }

  private:
    void on_read(beast::error_code ec, std::size_t) {
        if (ec == http::error::end_of_stream) {
            stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
            return;
        }
        if (ec) return;
        if (websocket::is_upgrade(req_)) {
            if (const char *why = server_->upgrade_refusal(req_)) {
                ++server_->refused;
                Response res =
                    text_response(req_, http::status::forbidden, std::string("forbidden: ") + why);
                res.keep_alive(false);
                return send(std::move(res));
            }
            stream_.expires_never();
            std::make_shared<WsSession>(stream_.release_socket(), server_)->run(std::move(req_));
            return;
        }
        send(server_->handle(req_));
    }

    void send(Response res) {
        res_ = std::make_shared<Response>(std::move(res));
        http::async_write(stream_, *res_,
                          [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              if (ec) return;
                              if (self->res_->need_eof()) {
                                  self->stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
                                  return;
                              }
                              self->read();
                          });
    }

    beast::tcp_stream stream_;
    Server::Impl *server_;
    beast::flat_buffer buf_;
    Request req_;
    std::shared_ptr<Response> res_;
};

void Server::Impl::accept_next() {
    acceptor.async_accept(ioc, [this](beast::error_code ec, tcp::socket socket) {
        if (ec) return;  // closed: the server stops
        std::make_shared<HttpSession>(std::move(socket), this)->read();
        accept_next();
    });
}

const char *Server::Impl::upgrade_refusal(const Request &req) const {
    if (target_path(sv(req.target())) != kWebSocketPath) return "no WebSocket here";
    return refusal(req);
}

const char *Server::Impl::refusal(const Request &req) const {
    return request_refusal(sv(req.target()), sv(req[http::field::host]),
                           sv(req[http::field::origin]), cfg.token, loopback);
}

Response Server::Impl::handle(const Request &req) {
    if (req.method() != http::verb::get && req.method() != http::verb::head)
        return text_response(req, http::status::method_not_allowed, "only GET");
    if (const char *why = refusal(req)) return refuse(req, why);
    const std::string_view path = target_path(sv(req.target()));
    if (path.substr(0, kDownloadPrefix.size()) == kDownloadPrefix) {
        std::optional<Download> d;
        if (hooks.download)
            d = hooks.download(path.substr(kDownloadPrefix.size()), sv(req.target()));
        if (!d) return text_response(req, http::status::not_found, "nothing to download");
        Response res = make_response(req, http::status::ok, d->content_type, std::move(d->body));
        res.set(http::field::content_disposition, "attachment; filename=\"" + d->filename + "\"");
        return res;
    }
    std::filesystem::path file;
    std::string_view rel;
    if (path == "/") {
        rel = kIndexName;
        file = cfg.web_dir / rel;
    } else if (path.substr(0, kThreePrefix.size()) == kThreePrefix) {
        rel = path.substr(kThreePrefix.size());
        if (!safe_relative(rel)) return text_response(req, http::status::not_found, "not found");
        file = cfg.three_dir / rel;
    } else {
        rel = path.substr(1);
        if (!safe_relative(rel)) return text_response(req, http::status::not_found, "not found");
        file = cfg.web_dir / rel;
    }
    std::optional<std::string> body = read_whole(file);
    if (!body) return text_response(req, http::status::not_found, "not found");
    if (rel == kIndexName)
        for (size_t at = body->find(kTokenMarker); at != std::string::npos;
             at = body->find(kTokenMarker, at + cfg.token.size()))
            body->replace(at, kTokenMarker.size(), cfg.token);
    Response res = make_response(req, http::status::ok, mime_of(rel), std::move(*body));
    if (req.method() == http::verb::head) res.body().clear();
    return res;
}

Server::Server(ServerConfig config, ServerHooks hooks) : impl_(std::make_unique<Impl>()) {
    impl_->cfg = std::move(config);
    impl_->hooks = std::move(hooks);
    const net::ip::address addr = net::ip::make_address(impl_->cfg.bind_address);
    impl_->loopback = addr.is_loopback();
    const tcp::endpoint ep{addr, impl_->cfg.port};
    impl_->acceptor.open(ep.protocol());
    impl_->acceptor.set_option(net::socket_base::reuse_address(true));
    impl_->acceptor.bind(ep);
    impl_->acceptor.listen(net::socket_base::max_listen_connections);
}

Server::~Server() {
    if (impl_->thread.joinable()) {
        net::post(impl_->ioc, [impl = impl_.get()] {
            beast::error_code ec;
            impl->acceptor.close(ec);
            impl->ioc.stop();
        });
        impl_->thread.join();
    }
}

uint16_t Server::port() const {
    return impl_->acceptor.local_endpoint().port();
}

bool Server::loopback_only() const {
    return impl_->loopback;
}

void Server::start() {
    impl_->accept_next();
    impl_->thread = std::thread([impl = impl_.get()] { impl->ioc.run(); });
}

void Server::publish_frame(std::shared_ptr<const std::string> frame) {
    {
        std::lock_guard lock(impl_->latest_mu);
        if (impl_->latest) ++impl_->frames_superseded;
        impl_->latest = std::move(frame);
        // One hand-out at a time in the I/O thread's queue: a busy server
        // thread never collects a backlog of frames.
        if (impl_->hand_out_posted) return;
        impl_->hand_out_posted = true;
    }
    net::post(impl_->ioc, [impl = impl_.get()] {
        std::shared_ptr<const std::string> f;
        {
            std::lock_guard lock(impl->latest_mu);
            f = std::move(impl->latest);
            impl->latest.reset();
            impl->hand_out_posted = false;
        }
        if (f) impl->for_each_session([&](WsSession &s) { s.offer_frame(f); });
    });
}

void Server::broadcast_text(std::string text) {
    net::post(impl_->ioc, [impl = impl_.get(), t = std::move(text)] {
        impl->for_each_session([&](WsSession &s) { s.queue_text(t); });
    });
}

void Server::broadcast_binary(std::shared_ptr<const std::string> data) {
    net::post(impl_->ioc, [impl = impl_.get(), d = std::move(data)] {
        impl->for_each_session([&](WsSession &s) { s.send_binary(d); });
    });
}

ServerStats Server::stats() const {
    return {impl_->frames_sent.load(), impl_->frames_superseded.load(), impl_->clients.load(),
            impl_->refused.load()};
}

}  // namespace kavri::view
