// The viewer's web server (Boost.Beast over Boost.Asio, one I/O thread):
// the page's files, the three.js files, downloads, and one WebSocket per
// page that carries frames (binary) and commands and answers (text).
//
// Frames are offered, never queued: each page keeps only the newest frame
// that it has not been sent yet, so a slow page gets fewer frames and the
// thread that publishes them never waits for a browser.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kavri::view {

struct ServerConfig {
    std::string bind_address = "127.0.0.1";
    uint16_t port = 0;  // 0: any free port
    std::string token;
    std::filesystem::path web_dir;    // index.html, app.js, style.css
    std::filesystem::path three_dir;  // three.js as Debian installs it
};

// One page's connection; the calls may come from any thread.
class Client {
  public:
    virtual ~Client() = default;
    virtual void send_text(std::string text) = 0;
    virtual void send_binary(std::shared_ptr<const std::string> data) = 0;
};

// A file made on request (snapshots).
struct Download {
    std::string content_type;
    std::string filename;  // offered to the browser for saving
    std::string body;
};

// Called on the server's thread: they must return quickly.
struct ServerHooks {
    std::function<void(const std::shared_ptr<Client> &)> on_open;
    std::function<void(const std::shared_ptr<Client> &, std::string)> on_text;
    // A request for /download/NAME?...; nullopt: 404.
    std::function<std::optional<Download>(std::string_view name, std::string_view target)> download;
};

struct ServerStats {
    uint64_t frames_sent = 0;
    uint64_t frames_superseded = 0;  // replaced by a newer one before a page took them
    uint32_t clients = 0;
    uint64_t refused = 0;  // requests answered 403
};

class Server {
  public:
    // Binds and listens; throws std::system_error (address in use ...).
    Server(ServerConfig config, ServerHooks hooks);
    ~Server();  // stops the thread and closes every connection
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    uint16_t port() const;
    bool loopback_only() const;
    void start();  // the I/O thread

    // Any thread, never waits: the newest frame for every page.
    void publish_frame(std::shared_ptr<const std::string> frame);
    // Any thread: a text message for every page.
    void broadcast_text(std::string text);
    // Any thread: binary data every page gets (queued, not replaced).
    void broadcast_binary(std::shared_ptr<const std::string> data);
    ServerStats stats() const;

    struct Impl;  // the server's state, for its sessions

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace kavri::view
