#include "http_server.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <thread>

namespace tool::http {

namespace {

constexpr const char* kExpositionType = "text/plain; version=0.0.4; charset=utf-8";

constexpr const char* kPage =
    "<!DOCTYPE html>\n"
    "<html><head><meta charset=\"utf-8\"><title>VELTRA exporter</title></head>\n"
    "<body><h1>VELTRA exporter</h1>\n"
    "<p>The cards of this host, in the Prometheus text format: "
    "<a href=\"/metrics\">/metrics</a>.</p>\n"
    "</body></html>\n";

}  // namespace

struct MetricsServer::Server {
    httplib::Server http;
    std::atomic<bool> stopped{false}, entered{false}, returned{false};
};

MetricsServer::MetricsServer(std::function<std::string()> metrics)
    : server_(std::make_unique<Server>()) {
    server_->http.Get("/metrics", [metrics](const httplib::Request&, httplib::Response& response) {
        response.set_content(metrics(), kExpositionType);
    });
    server_->http.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kPage, "text/html; charset=utf-8");
    });
    // A scraper that connects and says nothing does not hold a thread for
    // long.
    server_->http.set_read_timeout(10, 0);
    server_->http.set_write_timeout(10, 0);
    // A response is written in pieces (the headers, then the body): without
    // this each later piece waits for the scraper to acknowledge the first.
    server_->http.set_tcp_nodelay(true);
    // The port is this exporter's alone: a second exporter started on it by
    // mistake fails to start, where the library's own options (SO_REUSEPORT)
    // would have the two share the scrapes unseen.
    server_->http.set_socket_options([](socket_t socket) {
        int yes = 1;
#if defined(_WIN32)
        setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&yes),
                   sizeof yes);
#else
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
    });
}

MetricsServer::~MetricsServer() {
    stop();
}

namespace {

// Why the last bind failed, in words.
std::string bindError() {
#if defined(_WIN32)
    switch (const int code = WSAGetLastError()) {
        case WSAEADDRINUSE:
            return "the address is in use";
        case WSAEADDRNOTAVAIL:
            return "the address is not one of this host's";
        case WSAEACCES:  // what a port another program holds gives
            return "the address is in use, or access to it is denied";
        default:
            return "Windows Sockets error " + std::to_string(code);
    }
#else
    return errno != 0 ? std::strerror(errno) : "the address cannot be used";
#endif
}

}  // namespace

int MetricsServer::bind(const std::string& host, int port, std::string& error) {
    errno = 0;
    const int bound = port == 0 ? server_->http.bind_to_any_port(host)
                                : (server_->http.bind_to_port(host, port) ? port : -1);
    if (bound < 0)
        error = bindError();
    return bound;
}

bool MetricsServer::serve() {
    server_->entered = true;
    bool served = true;
    if (!server_->stopped)
        served = server_->http.listen_after_bind() || server_->stopped;
    server_->returned = true;
    return served;
}

// The HTTP library's stop does nothing until its server runs: a stop that
// comes while serve() starts waits until it runs (or has returned).
void MetricsServer::stop() {
    server_->stopped = true;
    if (!server_->entered)
        return;
    while (!server_->returned && !server_->http.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server_->http.stop();
}

}  // namespace tool::http
