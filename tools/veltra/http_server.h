// The exporter's HTTP side: GET /metrics answers with the exposition the
// caller makes at each request, GET / with a short page that links to it.
// Kept apart from the Win32 and library headers: it uses the system's own
// socket headers.
//
// It is a service any client on the network may reach, so no client can
// hold what a scrape needs: one thread waits on every connection at once,
// a request head must arrive whole within a deadline (not per byte), heads
// are capped, no request body is read, and when the connections are at
// their limit a new one takes the place of the oldest that is not being
// answered.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace tool::http {

struct Limits {
    // Connections held at once (the listening socket aside).
    size_t connections = 64;
    // A request head must be whole this long after the connection came or
    // its previous response was sent; an idle keep-alive connection is
    // closed after the same time.
    std::chrono::milliseconds head{5000};
    // A response must be taken by the client within this.
    std::chrono::milliseconds write{10000};
    // The longest request line or header line, and the longest head.
    size_t line = 8 * 1024, total = 64 * 1024;
};

class MetricsServer {
  public:
    // `metrics` is called on the server's threads, several at once when
    // requests come together.
    explicit MetricsServer(std::function<std::string()> metrics, Limits limits = {});
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Binds the address (port 0: one the system chooses). The port bound,
    // or -1 with `error` saying why.
    int bind(const std::string& host, int port, std::string& error);
    // Answers requests until stop(); false if it could not.
    bool serve();
    // From any thread, also before serve() runs.
    void stop();

  private:
    struct Server;
    std::unique_ptr<Server> server_;
};

}  // namespace tool::http
