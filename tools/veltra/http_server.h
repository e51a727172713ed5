// The exporter's HTTP side: GET /metrics answers with the exposition the
// caller makes at each request, GET / with a short page that links to it.
// Kept apart from the Win32 and library headers: the HTTP library brings
// the system's own socket headers.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace tool::http {

class MetricsServer {
  public:
    // `metrics` is called on the server's threads, several at once when
    // requests come together.
    explicit MetricsServer(std::function<std::string()> metrics);
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
