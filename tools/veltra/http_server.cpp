#include "http_server.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace tool::http {

namespace {

using Clock = std::chrono::steady_clock;

#if defined(_WIN32)

using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
using PollEntry = WSAPOLLFD;
constexpr int kSendFlags = 0;
constexpr int kShutdownSend = SD_SEND;

int pollAll(std::vector<PollEntry>& entries, int milliseconds) {
    return WSAPoll(entries.data(), static_cast<ULONG>(entries.size()), milliseconds);
}
void closeSocket(Socket socket) {
    closesocket(socket);
}
int lastError() {
    return WSAGetLastError();
}
bool wouldBlock(int error) {
    return error == WSAEWOULDBLOCK || error == WSAEINTR;
}
bool setNonBlocking(Socket socket) {
    u_long yes = 1;
    return ioctlsocket(socket, FIONBIO, &yes) == 0;
}
Socket openSocket(int family, int type, int protocol) {
    return ::socket(family, type, protocol);
}
Socket acceptFrom(Socket listener) {
    const Socket socket = ::accept(listener, nullptr, nullptr);
    if (socket != kNoSocket && !setNonBlocking(socket)) {
        closesocket(socket);
        return kNoSocket;
    }
    return socket;
}

// Windows Sockets is started once for the process, and stays.
void startSockets() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

#else

using Socket = int;
constexpr Socket kNoSocket = -1;
using PollEntry = pollfd;
constexpr int kSendFlags = MSG_NOSIGNAL;  // a client gone is an error, not SIGPIPE
constexpr int kShutdownSend = SHUT_WR;

int pollAll(std::vector<PollEntry>& entries, int milliseconds) {
    return ::poll(entries.data(), entries.size(), milliseconds);
}
void closeSocket(Socket socket) {
    ::close(socket);
}
int lastError() {
    return errno;
}
bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}
bool setNonBlocking(Socket socket) {
    const int flags = fcntl(socket, F_GETFL);
    return flags >= 0 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}
Socket openSocket(int family, int type, int protocol) {
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
}
Socket acceptFrom(Socket listener) {
    return ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}
void startSockets() {}

#endif

constexpr const char* kExpositionType = "text/plain; version=0.0.4; charset=utf-8";

constexpr const char* kPage =
    "<!DOCTYPE html>\n"
    "<html><head><meta charset=\"utf-8\"><title>VELTRA exporter</title></head>\n"
    "<body><h1>VELTRA exporter</h1>\n"
    "<p>The cards of this host, in the Prometheus text format: "
    "<a href=\"/metrics\">/metrics</a>.</p>\n"
    "</body></html>\n";

// A connection that said it is done sending, or whose request was refused,
// is read (and what it sends dropped) this long before it is closed, so
// that the response is not lost to a reset.
constexpr std::chrono::milliseconds kLinger{2000};
// A response that has moved no byte for this long may give its place to a
// new connection.
constexpr std::chrono::milliseconds kStalled{1000};
// How long the listeners rest after an accept failed for want of
// descriptors.
constexpr std::chrono::milliseconds kRest{100};
// The requests already read that a connection has answered in a round.
constexpr int kBehindShare = 4;
// The most a lingering connection has dropped at one wake-up.
constexpr size_t kDropShare = 64 * 1024;
// The threads that make metrics at most: enough for the requests that
// wait on a card that does not answer.
constexpr size_t kPoolThreads = 64;

const char* reasonOf(int code) {
    switch (code) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 414:
            return "URI Too Long";
        case 431:
            return "Request Header Fields Too Large";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Internal Server Error";
    }
}

// A whole response. A HEAD request has the headers of the GET alone.
std::string response(int code, const char* type, std::string_view body, bool head, bool close,
                     bool keptOld = false) {
    std::string text = "HTTP/1.1 " + std::to_string(code) + " " + reasonOf(code) + "\r\n";
    text += "Content-Type: ";
    text += type;
    text += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    if (code == 405)
        text += "Allow: GET, HEAD\r\n";
    if (close)
        text += "Connection: close\r\n";
    else if (keptOld)
        text += "Connection: keep-alive\r\n";
    text += "\r\n";
    if (!head)
        text += body;
    return text;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Whether a comma-separated header value lists `token`.
bool lists(std::string_view value, std::string_view token) {
    while (!value.empty()) {
        const size_t comma = value.find(',');
        std::string_view item = value.substr(0, comma);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t'))
            item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t'))
            item.remove_suffix(1);
        if (equalsIgnoringCase(item, token))
            return true;
        if (comma == std::string_view::npos)
            break;
        value.remove_prefix(comma + 1);
    }
    return false;
}

enum class Page { Metrics, Index };

// A request head, taken apart; `error` is the status of one refused.
struct Request {
    int error = 0;
    bool head = false;   // HEAD
    bool close = false;  // the connection ends after the response
    bool old = false;    // HTTP/1.0
    Page page = Page::Index;
};

// The head up to and with its blank line; every line already within the
// cap. Only GET and HEAD of / and /metrics are served; a request that has
// a body is answered without reading it, and the connection then closes.
Request parse(std::string_view head) {
    Request request;
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        const size_t end = head.find('\n');
        std::string_view line = head.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        head.remove_prefix(end == std::string_view::npos ? head.size() : end + 1);
    }
    // Its blank line ends the head; an empty line before the request line
    // is allowed.
    size_t first = 0;
    while (first < lines.size() && lines[first].empty())
        ++first;
    request.close = true;
    request.error = 400;
    if (first >= lines.size())
        return request;
    const std::string_view line = lines[first];
    const size_t space = line.find(' '), last = line.rfind(' ');
    if (space == std::string_view::npos || space == last || space == 0)
        return request;
    const std::string_view method = line.substr(0, space);
    std::string_view target = line.substr(space + 1, last - space - 1);
    const std::string_view version = line.substr(last + 1);
    if (target.empty() || target.find(' ') != std::string_view::npos)
        return request;
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        request.error = version.substr(0, 5) == "HTTP/" ? 505 : 400;
        return request;
    }

    bool keepAlive = false, closeAsked = false, body = false;
    for (size_t i = first + 1; i < lines.size() && !lines[i].empty(); ++i) {
        const std::string_view field = lines[i];
        const size_t colon = field.find(':');
        // A field folded onto a line of its own, or a name with spaces.
        if (colon == std::string_view::npos || colon == 0 ||
            field.substr(0, colon).find_first_of(" \t") != std::string_view::npos)
            return request;
        const std::string_view name = field.substr(0, colon);
        std::string_view value = field.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.remove_suffix(1);
        if (equalsIgnoringCase(name, "connection")) {
            keepAlive = keepAlive || lists(value, "keep-alive");
            closeAsked = closeAsked || lists(value, "close");
        } else if (equalsIgnoringCase(name, "transfer-encoding")) {
            body = true;
        } else if (equalsIgnoringCase(name, "content-length")) {
            if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos)
                return request;
            body = body || value.find_first_not_of('0') != std::string_view::npos;
        }
    }

    request.error = 0;
    request.old = version == "HTTP/1.0";
    request.close = closeAsked || body || (request.old && !keepAlive);
    request.head = method == "HEAD";
    if (!request.head && method != "GET") {
        request.error = 405;
        request.close = true;
        return request;
    }
    // The absolute form, as a proxy sends it: its path.
    for (const std::string_view scheme : {"http://", "https://"})
        if (target.size() > scheme.size() &&
            equalsIgnoringCase(target.substr(0, scheme.size()), scheme)) {
            const size_t slash = target.find('/', scheme.size());
            target = slash == std::string_view::npos ? "/" : target.substr(slash);
        }
    target = target.substr(0, target.find_first_of("?#"));
    if (target == "/metrics")
        request.page = Page::Metrics;
    else if (target == "/")
        request.page = Page::Index;
    else
        request.error = !target.empty() && target.front() == '/' ? 404 : 400;
    return request;
}

enum class State {
    Head,    // waiting for a request head (or idle between requests)
    Busy,    // its metrics are being made
    Write,   // its response is being sent
    Linger,  // said all; what it sends is dropped until it closes
};

struct Connection {
    Socket socket = kNoSocket;
    uint64_t id = 0;
    State state = State::Head;
    // When it came, when its state ends, and when a send last moved
    // bytes (or its response began).
    Clock::time_point came, deadline, moved;
    std::string in;  // at most the cap on a head and one byte
    std::string out;
    size_t sent = 0;
    bool head = false, close = false, gone = false;
    // An HTTP/1.0 client that asked to keep the connection: told it is kept.
    bool keptOld = false;
    // How far `in` was looked at for the end of the head, where its last
    // line starts, and whether a line of the head (its request line) came.
    size_t scanned = 0, lineStart = 0;
    bool sawLine = false;
};

// One request's metrics, made on a thread of the pool.
struct Made {
    uint64_t connection;
    std::optional<std::string> metrics;
};

}  // namespace

struct MetricsServer::Server {
    std::function<std::string()> metrics;
    Limits limits;
    std::vector<Socket> listeners;
    // A datagram socket connected to itself: a byte sent to it wakes the
    // poll (a stop, metrics made).
    Socket waker = kNoSocket;
    std::atomic<bool> stopped{false};
    std::vector<Connection> connections;
    uint64_t lastId = 0;
    // The listeners are not polled until then (after running out of
    // descriptors).
    Clock::time_point listenersResting{};

    // The pool that makes metrics: it grows to as many threads as requests
    // wait, at most one per connection, so that a card that does not
    // answer delays no request longer than the exporter's timeout.
    std::mutex mutex;  // what follows
    std::condition_variable asked;
    std::deque<uint64_t> jobs;
    std::vector<Made> made;
    size_t idle = 0;
    bool ending = false;
    std::vector<std::thread> threads;

    void wake() {
        if (waker != kNoSocket) {
            const char byte = 0;
            ::send(waker, &byte, 1, 0);
        }
    }

    void work() {
        std::unique_lock lock(mutex);
        for (;;) {
            ++idle;
            asked.wait(lock, [this] { return ending || !jobs.empty(); });
            --idle;
            if (ending)
                return;
            const uint64_t id = jobs.front();
            jobs.pop_front();
            lock.unlock();
            std::optional<std::string> text;
            try {
                text = metrics();
            } catch (const std::exception&) {
            }
            lock.lock();
            made.push_back({id, std::move(text)});
            wake();
        }
    }

    // False when no thread can make it (none could be started).
    bool submit(uint64_t id) {
        std::lock_guard lock(mutex);
        if (jobs.size() + 1 > idle && threads.size() < kPoolThreads) {
            try {
                threads.emplace_back(&Server::work, this);
            } catch (const std::system_error&) {
                if (threads.empty())
                    return false;  // it waits for a thread of the pool otherwise
            }
        }
        jobs.push_back(id);
        asked.notify_one();
        return true;
    }

    void endPool() {
        {
            std::lock_guard lock(mutex);
            ending = true;
            jobs.clear();
            asked.notify_all();
        }
        for (std::thread& thread : threads)
            thread.join();
        threads.clear();
        ending = false;
        made.clear();
    }

    // Sends what it can of a response; then the connection waits for its
    // next request, or lingers before it closes.
    void flush(Connection& c, Clock::time_point now) {
        while (c.sent < c.out.size()) {
            const int sent = ::send(
                c.socket, c.out.data() + c.sent,
                static_cast<int>(std::min<size_t>(c.out.size() - c.sent, 1 << 20)), kSendFlags);
            if (sent < 0) {
                if (!wouldBlock(lastError()))
                    c.gone = true;
                return;
            }
            c.sent += static_cast<size_t>(sent);
            c.moved = now;
        }
        c.out.clear();
        c.sent = 0;
        if (c.close) {
            ::shutdown(c.socket, kShutdownSend);
            c.state = State::Linger;
            c.in.clear();
            c.deadline = now + kLinger;
            return;
        }
        // A request that came behind this one is taken by the loop.
        c.state = State::Head;
        c.deadline = now + limits.head;
    }

    void respond(Connection& c, Clock::time_point now, int code, const char* type,
                 std::string_view body) {
        c.out = response(code, type, body, c.head, c.close, c.keptOld && !c.close);
        c.sent = 0;
        c.state = State::Write;
        c.deadline = now + limits.write;
        c.moved = now;
        flush(c, now);
    }

    void refuse(Connection& c, Clock::time_point now, int code) {
        c.close = true;
        const std::string text = std::to_string(code) + " " + reasonOf(code) + "\n";
        respond(c, now, code, "text/plain; charset=utf-8", text);
    }

    // Acts on a whole head at the start of `in`, or on one over its cap;
    // false while the head is not whole yet. Each byte is looked at once,
    // however the head is cut into pieces.
    bool takeHead(Connection& c, Clock::time_point now) {
        size_t end = std::string::npos;
        for (; c.scanned < c.in.size(); ++c.scanned) {
            if (c.in[c.scanned] != '\n')
                continue;
            size_t stop = c.scanned;
            if (stop > c.lineStart && c.in[stop - 1] == '\r')
                --stop;
            if (stop - c.lineStart > limits.line)
                return overCap(c, now);
            const bool blank = stop == c.lineStart;
            c.lineStart = c.scanned + 1;
            if (blank && c.sawLine) {
                end = c.lineStart;
                break;
            }
            c.sawLine = c.sawLine || !blank;
        }
        if (end == std::string::npos) {
            // The line under way (its CR aside), and the head as a whole.
            if (c.in.size() - c.lineStart > limits.line + 1 || c.in.size() > limits.total)
                return overCap(c, now);
            return false;
        }
        if (end > limits.total)
            return overCap(c, now);

        const Request request = parse(std::string_view(c.in.data(), end));
        c.in.erase(0, end);
        c.scanned = c.lineStart = 0;
        c.sawLine = false;
        c.head = request.head;
        c.close = request.close;
        c.keptOld = request.old && !request.close;
        if (request.error != 0) {
            refuse(c, now, request.error);
        } else if (request.page == Page::Index) {
            respond(c, now, 200, "text/html; charset=utf-8", kPage);
        } else {
            c.state = State::Busy;
            if (!submit(c.id))
                refuse(c, now, 500);
        }
        return true;
    }

    // A request line over the cap is a target too long; any other line or
    // the head as a whole, fields too large.
    bool overCap(Connection& c, Clock::time_point now) {
        c.head = false;
        refuse(c, now, c.sawLine ? 431 : 414);
        return true;
    }

    void receive(Connection& c, Clock::time_point now) {
        char chunk[4096];
        // What a lingering client sends is dropped a share at a time, so
        // that a fast one does not keep the thread from the others.
        size_t dropped = 0;
        for (;;) {
            if (dropped >= kDropShare)
                return;
            size_t room = sizeof chunk;
            // Never more of a head than its cap and a byte; what a lingering
            // connection sends is dropped.
            if (c.state == State::Head)
                room = std::min(room, limits.total + 1 - c.in.size());
            if (room == 0)
                return;
            const int got = ::recv(c.socket, chunk, static_cast<int>(room), 0);
            if (got == 0) {
                c.gone = true;
                return;
            }
            if (got < 0) {
                if (!wouldBlock(lastError()))
                    c.gone = true;
                return;
            }
            if (c.state != State::Head) {
                dropped += static_cast<size_t>(got);
                continue;
            }
            c.in.append(chunk, static_cast<size_t>(got));
            if (takeHead(c, now) && (c.state == State::Busy || c.state == State::Write))
                return;
            // Gone, or more requests already here: the loop takes them in
            // turn with the other connections.
            if (c.gone || (c.state == State::Head && c.scanned < c.in.size()))
                return;
        }
    }

    // A new connection, when the connections are at their limit, takes the
    // place of the oldest that is not being answered: one that lingers, or
    // else one that has not sent a whole request.
    bool makeRoom(Clock::time_point now) {
        size_t live = 0;
        for (const Connection& c : connections)
            live += c.gone ? 0 : 1;
        if (live < limits.connections)
            return true;
        // A response the client has not taken for a while is not being
        // answered either: a client that asks and never reads holds no place.
        const auto stalled = [&](const Connection& c) {
            return c.state == State::Write && now - c.moved >= kStalled;
        };
        Connection* oldest = nullptr;
        for (int pass = 0; pass < 3 && oldest == nullptr; ++pass)
            for (Connection& c : connections) {
                const bool candidate = pass == 0   ? c.state == State::Linger
                                       : pass == 1 ? c.state == State::Head
                                                   : stalled(c);
                if (!c.gone && candidate && (oldest == nullptr || c.came < oldest->came))
                    oldest = &c;
            }
        if (oldest == nullptr)
            return false;
        // Closed at once: a burst of connections holds no descriptors.
        oldest->gone = true;
        drop(*oldest);
        return true;
    }

    void accept(Socket listener, Clock::time_point now) {
        // At most a limit's worth a round, so that the others are served
        // between bursts.
        for (size_t taken = 0; taken < limits.connections; ++taken) {
            const Socket socket = acceptFrom(listener);
            if (socket == kNoSocket) {
                // Out of descriptors (or memory): the connection waits in
                // the queue, and the listener is left alone a moment
                // instead of waking the poll at once again.
                if (!wouldBlock(lastError()))
                    listenersResting = now + kRest;
                return;
            }
            if (!makeRoom(now)) {
                closeSocket(socket);
                continue;
            }
            int yes = 1;
            setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes),
                       sizeof yes);
            Connection c;
            c.socket = socket;
            c.id = ++lastId;
            c.came = now;
            c.deadline = now + limits.head;
            connections.push_back(std::move(c));
        }
    }

    void takeMade(Clock::time_point now) {
        std::vector<Made> ready;
        {
            std::lock_guard lock(mutex);
            ready.swap(made);
        }
        for (Made& m : ready)
            for (Connection& c : connections)
                if (c.id == m.connection && !c.gone) {
                    if (m.metrics.has_value())
                        respond(c, now, 200, kExpositionType, *m.metrics);
                    else
                        refuse(c, now, 500);
                }
    }

    void drop(Connection& c) {
        if (c.socket != kNoSocket)
            closeSocket(c.socket);
        c.socket = kNoSocket;
    }

    bool loop() {
        std::vector<PollEntry> entries;
        std::vector<size_t> polled;  // the connection of each entry after the fixed ones
        while (!stopped) {
            Clock::time_point now = Clock::now();
            entries.clear();
            polled.clear();
            const bool listening = now >= listenersResting;
            for (const Socket listener : listeners)
                entries.push_back({listener, static_cast<short>(listening ? POLLIN : 0), 0});
            entries.push_back({waker, POLLIN, 0});
            const size_t fixed = entries.size();
            Clock::time_point next = now + std::chrono::seconds(1);
            if (!listening)
                next = std::min(next, listenersResting);
            for (size_t i = 0; i < connections.size(); ++i) {
                const Connection& c = connections[i];
                if (c.state == State::Busy)
                    continue;
                entries.push_back(
                    {c.socket, static_cast<short>(c.state == State::Write ? POLLOUT : POLLIN), 0});
                polled.push_back(i);
                next = std::min(next, c.deadline);
                // Requests already here wait no longer than a look around.
                if (c.state == State::Head && c.scanned < c.in.size())
                    next = now;
            }
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
                std::max(next - now, Clock::duration{}));
            if (pollAll(entries, static_cast<int>(wait.count())) < 0 && !wouldBlock(lastError()))
                return false;
            now = Clock::now();

            if (entries[fixed - 1].revents != 0) {
                char drained[64];
                while (::recv(waker, drained, sizeof drained, 0) > 0) {
                }
            }
            takeMade(now);
            for (size_t e = fixed; e < entries.size(); ++e) {
                Connection& c = connections[polled[e - fixed]];
                const short events = entries[e].revents;
                if (events == 0 || c.gone)
                    continue;
                if (c.state == State::Write) {
                    const size_t before = c.sent;
                    flush(c, now);
                    // A client gone, or that shut its side (Windows then
                    // reports a hang-up however the poll was asked), with
                    // nothing more taken: no use waiting on it.
                    if (c.state == State::Write && c.sent == before &&
                        (events & (POLLERR | POLLHUP | POLLNVAL)) != 0)
                        c.gone = true;
                } else if (c.state == State::Head || c.state == State::Linger) {
                    receive(c, now);
                    if ((events & POLLNVAL) != 0)
                        c.gone = true;
                }
            }
            // Requests that came behind others on their connections, a
            // few a round each: a client that sends thousands at once waits
            // its turn with the others.
            for (Connection& c : connections)
                for (int n = 0; n < kBehindShare && !c.gone && c.state == State::Head &&
                                c.scanned < c.in.size() && takeHead(c, now);
                     ++n) {
                }
            for (size_t l = 0; l < listeners.size(); ++l)
                if (entries[l].revents != 0)
                    accept(listeners[l], now);
            for (Connection& c : connections)
                if (c.state != State::Busy && now >= c.deadline)
                    c.gone = true;
            // A connection whose metrics are being made is never dropped:
            // they are sent to it.
            for (Connection& c : connections)
                if (c.gone)
                    drop(c);
            connections.erase(
                std::remove_if(connections.begin(), connections.end(),
                               [](const Connection& c) { return c.socket == kNoSocket; }),
                connections.end());
        }
        return true;
    }
};

MetricsServer::MetricsServer(std::function<std::string()> metrics, Limits limits)
    : server_(std::make_unique<Server>()) {
    startSockets();
    server_->metrics = std::move(metrics);
#if !defined(_WIN32)
    // The connections fit in the process's descriptors, with room for the
    // cards' handles, the listeners and the files it writes.
    rlimit descriptors{};
    if (getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY) {
        const size_t room = descriptors.rlim_cur > 128 ? descriptors.rlim_cur - 64 : 64;
        limits.connections = std::min(limits.connections, room);
    }
#endif
    server_->limits = limits;
    const Socket waker = openSocket(AF_INET, SOCK_DGRAM, 0);
    if (waker == kNoSocket)
        return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(waker, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(waker, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::connect(waker, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        !setNonBlocking(waker)) {
        closeSocket(waker);
        return;
    }
    server_->waker = waker;
}

MetricsServer::~MetricsServer() {
    stop();
    server_->endPool();
    for (Connection& c : server_->connections)
        closeSocket(c.socket);
    for (const Socket listener : server_->listeners)
        closeSocket(listener);
    if (server_->waker != kNoSocket)
        closeSocket(server_->waker);
}

namespace {

// Why a socket call failed, in words.
std::string socketError(int code) {
#if defined(_WIN32)
    switch (code) {
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
    return code != 0 ? std::strerror(code) : "the address cannot be used";
#endif
}

}  // namespace

int MetricsServer::bind(const std::string& host, int port, std::string& error) {
    if (server_->waker == kNoSocket) {
        error = "no loopback socket to wake the server with: " + socketError(lastError());
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (const int code = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
        code != 0) {
        error = "cannot resolve '" + host + "': " + gai_strerror(code);
        return -1;
    }
    int failure = 0;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const Socket listener = openSocket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (listener == kNoSocket) {
            failure = lastError();
            continue;
        }
        // The port is this exporter's alone: a second exporter started on
        // it by mistake fails to start instead of sharing the scrapes.
        int yes = 1;
#if defined(_WIN32)
        setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&yes),
                   sizeof yes);
#else
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        if (::bind(listener, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 ||
            ::listen(listener, SOMAXCONN) != 0 || !setNonBlocking(listener) ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            failure = lastError();
            closeSocket(listener);
            continue;
        }
        freeaddrinfo(found);
        server_->listeners.push_back(listener);
        return ntohs(bound.ss_family == AF_INET6
                         ? reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port
                         : reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
    }
    freeaddrinfo(found);
    error = socketError(failure);
    return -1;
}

bool MetricsServer::serve() {
    if (server_->listeners.empty())
        return false;
    const bool served = server_->loop();
    server_->endPool();
    return served;
}

void MetricsServer::stop() {
    server_->stopped = true;
    server_->wake();
}

}  // namespace tool::http
