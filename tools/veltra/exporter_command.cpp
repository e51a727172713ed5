// veltra exporter and veltra metrics: the cards for Prometheus, served over
// HTTP, written to a folder for a textfile collector, or printed once. On
// Windows the exporter also runs as a service (--service).
#include <veltra.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "command_table.h"
#include "errors.h"
#include "exporter.h"
#include "files.h"
#include "http_server.h"
#include "text.h"

#if defined(_WIN32)
#include "wide.h"
#endif

namespace tool {

namespace exporter_command {

using exporter::Fleet;

constexpr const char* kDefaultListen = "127.0.0.1:9867";

struct Options {
    std::vector<std::string> cards;
    std::string listen = kDefaultListen, textfile;
    double interval = 15, timeout = 5;
    size_t maxConnections = 64;
    CLI::Option* intervalOption = nullptr;
    bool service = false;
    // --card and --listen, taken apart.
    std::vector<Selection> chosen;
    std::string host;
    int port = 0;
};

std::vector<Selection> selections(const Options& o) {
    std::vector<Selection> chosen;
    for (const std::string& card : o.cards)
        chosen.push_back(Selection::parse(card));
    return chosen;
}

std::chrono::milliseconds milliseconds(double seconds) {
    return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

// "127.0.0.1:9867", "[::1]:9867", ":9867" (every address).
void parseListen(const std::string& text, std::string& host, int& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        throw Usage("--listen: '" + text + "' is not ADDRESS:PORT");
    host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty())
        host = "0.0.0.0";
    const uint64_t number = parseNumber(text.substr(colon + 1), "--listen " + text);
    if (number > 65535)
        throw Usage("--listen: port " + std::to_string(number) + " is not a port");
    port = static_cast<int>(number);
}

// Ends a run that waits: the service's stop; at a console the process ends
// with its signal.
class Stop {
  public:
    void request() {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
        if (server_ != nullptr)
            server_->stop();
    }
    // Sleeps for `seconds`; false once stopped.
    bool sleep(double seconds) {
        std::unique_lock lock(mutex_);
        return !changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                                  [this] { return stopped_; });
    }
    void watch(http::MetricsServer* server) {
        std::lock_guard lock(mutex_);
        server_ = server;
        if (stopped_ && server != nullptr)
            server->stop();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopped_ = false;
    http::MetricsServer* server_ = nullptr;
};

// What the exporter could not start with, as a service says it: its
// service-specific exit code (1 for any other failure).
struct StartFailure : Failure {
    StartFailure(const std::string& what, int why) : Failure(what), code(why) {}
    int code;
};
constexpr int kCannotListen = 2, kFolderUnusable = 3;

#if defined(_WIN32)
// Run by the service control manager: the log goes to the Application event
// log, where an operator finds it (stderr goes nowhere).
bool asService = false;

void logEvent(WORD type, const std::string& line) {
    HANDLE source = RegisterEventSourceW(nullptr, L"VELTRA exporter");
    if (source == nullptr)
        return;
    const std::wstring text = widen("veltra exporter: " + line);
    const wchar_t* strings[] = {text.c_str()};
    ReportEventW(source, type, 0, type == EVENTLOG_ERROR_TYPE ? 2 : 1, nullptr, 1, 0, strings,
                 nullptr);
    DeregisterEventSource(source);
}
#endif

// A line of the exporter's log, on stderr (as a service, in the event log).
void say(const std::string& line) {
#if defined(_WIN32)
    if (asService) {
        logEvent(EVENTLOG_INFORMATION_TYPE, line);
        return;
    }
#endif
    std::fprintf(stderr, "veltra exporter: %s\n", line.c_str());
    std::fflush(stderr);
}

// Writes the textfile every interval until stopped. A file that cannot be
// written (a full disk, a folder that went away) is said on stderr once, and
// tried again at the next interval: the collector meanwhile keeps the last
// whole file.
void writeTextfiles(const Options& o, Fleet& fleet, Stop& stop) {
    const std::string file = inFolder(o.textfile, "veltra.prom");
    std::string lastProblem;
    do {
        try {
            const std::string exposition = fleet.scrape();
            const std::string shared = sharedFolderProblem(o.textfile, file);
            if (!shared.empty())
                throw Failure(shared);
            replaceFile(file, exposition.data(), exposition.size());
            if (!lastProblem.empty())
                say(file + " is written again");
            lastProblem.clear();
        } catch (const Failure& failure) {
            if (failure.what() != lastProblem)
                say(std::string(failure.what()) + "; trying again every " + decimal(o.interval) +
                    " s");
            lastProblem = failure.what();
        }
        std::fflush(stderr);
    } while (stop.sleep(o.interval));
}

// Serves until stopped; `serving` is told the port once the address is
// bound.
void serve(const Options& o, Fleet& fleet, Stop& stop, const std::function<void(int)>& serving) {
    if (!o.textfile.empty()) {
        // A folder that is not there or cannot be written is said now, not
        // at the first write (as a service: its failure to start).
        std::string problem = folderWriteProblem(o.textfile);
        if (problem.empty())
            problem = sharedFolderProblem(o.textfile, inFolder(o.textfile, "veltra.prom"));
        if (!problem.empty())
            throw StartFailure(problem, kFolderUnusable);
        say("writing " + inFolder(o.textfile, "veltra.prom") + " every " + decimal(o.interval) +
            " s");
        serving(0);
        writeTextfiles(o, fleet, stop);
        return;
    }
    http::Limits limits;
    limits.connections = o.maxConnections;
    http::MetricsServer server([&fleet] { return fleet.scrape(); }, limits);
    std::string error;
    const int bound = server.bind(o.host, o.port, error);
    if (bound < 0)
        throw StartFailure("cannot listen on " + o.listen + ": " + error, kCannotListen);
    serving(bound);
    stop.watch(&server);
    const bool served = server.serve();
    stop.watch(nullptr);
    if (!served)
        throw Failure("the server on " + o.listen + " stopped");
}

// A card that never answered leaves its thread inside a library call: the
// process then ends at once, without the exit handlers that would unload
// what that thread still uses.
void endIfStillReading(Fleet& fleet, int code) {
    if (!fleet.reading())
        return;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        code = kExitFailure;
    std::fflush(stderr);
    std::_Exit(code);
}

#if defined(_WIN32)

// The Windows service: the service control manager starts veltra.exe with
// the command line its entry gives ("veltra.exe exporter --service ..."),
// and stops it with SERVICE_CONTROL_STOP.
namespace service {

const Options* options = nullptr;
Stop* stopper = nullptr;
SERVICE_STATUS_HANDLE handle = nullptr;
std::string failure;

void report(DWORD state, DWORD exitCode = NO_ERROR) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode == NO_ERROR ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = exitCode;
    status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 10000;
    SetServiceStatus(handle, &status);
}

DWORD WINAPI control(DWORD code, DWORD, void*, void*) {
    if (code == SERVICE_CONTROL_STOP || code == SERVICE_CONTROL_SHUTDOWN) {
        report(SERVICE_STOP_PENDING);
        stopper->request();
        return NO_ERROR;
    }
    return code == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

// The service's description in the services list, when it has none and the
// account it runs under may set it (an administrator's `sc description`
// otherwise).
void describe(const char* name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return;
    SC_HANDLE self =
        OpenServiceW(manager, widen(name).c_str(), SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG);
    // One an administrator gave is kept.
    alignas(SERVICE_DESCRIPTIONW) BYTE given[4096];
    DWORD needed = 0;
    if (self != nullptr &&
        QueryServiceConfig2W(self, SERVICE_CONFIG_DESCRIPTION, given, sizeof given, &needed)) {
        const auto* description = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(given);
        if (description->lpDescription != nullptr && description->lpDescription[0] != L'\0') {
            CloseServiceHandle(self);
            self = nullptr;
        }
    }
    if (self != nullptr) {
        wchar_t text[] =
            L"The metrics of the VELTRA cards of this host for Prometheus "
            L"(veltra exporter).";
        SERVICE_DESCRIPTIONW description{text};
        ChangeServiceConfig2W(self, SERVICE_CONFIG_DESCRIPTION, &description);
        CloseServiceHandle(self);
    }
    CloseServiceHandle(manager);
}

// Running once the exporter listens (or writes its first file); stopped
// with exit code 0 when asked, or with a service-specific code when it
// cannot go on: 2 it cannot listen, 3 its textfile folder cannot be used,
// 1 anything else; the reason goes to the Application event log.
void WINAPI main(DWORD count, LPSTR* words) {
    handle = RegisterServiceCtrlHandlerExA("", control, nullptr);
    if (handle == nullptr)
        return;
    asService = true;
    report(SERVICE_START_PENDING);
    if (count > 0 && words[0] != nullptr && words[0][0] != '\0')
        describe(words[0]);
    std::optional<Fleet> fleet;
    try {
        fleet.emplace(options->chosen, milliseconds(options->timeout), say);
        serve(*options, *fleet, *stopper, [](int) { report(SERVICE_RUNNING); });
        report(SERVICE_STOPPED);
    } catch (const std::exception& error) {
        failure = error.what();
        const auto* start = dynamic_cast<const StartFailure*>(&error);
        logEvent(EVENTLOG_ERROR_TYPE, failure);
        report(SERVICE_STOPPED, static_cast<DWORD>(start != nullptr ? start->code : kExitFailure));
    }
    if (fleet.has_value())
        endIfStillReading(*fleet, failure.empty() ? 0 : kExitFailure);
}

void run(const Options& o) {
    Stop stop;
    options = &o;
    stopper = &stop;
    char name[] = "";
    const SERVICE_TABLE_ENTRYA table[] = {{name, main}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            throw Usage(
                "--service: only the service control manager starts the service "
                "(sc create, then sc start; see the README)");
        throw Failure(
            format("--service: the service control manager refused the service "
                   "(error %lu)",
                   GetLastError()));
    }
    if (!failure.empty())
        throw Failure(failure);
}

}  // namespace service

#endif

void runExporter(Options& o) {
    if (o.intervalOption->count() > 0 && o.textfile.empty())
        throw Usage("--interval is how often --textfile writes; it needs --textfile");
    // What cannot be taken is refused before anything starts.
    o.chosen = selections(o);
    parseListen(o.listen, o.host, o.port);
#if defined(_WIN32)
    if (o.service) {
        service::run(o);
        return;
    }
#endif
    Stop stop;
    Fleet fleet(o.chosen, milliseconds(o.timeout), say);
    try {
        serve(o, fleet, stop, [&](int bound) {
            if (bound == 0)
                return;
            const bool v6 = o.host.find(':') != std::string::npos;
            std::fprintf(stderr, "veltra exporter: serving http://%s%s%s:%d/metrics\n",
                         v6 ? "[" : "", o.host.c_str(), v6 ? "]" : "", bound);
            std::fflush(stderr);
        });
    } catch (const Failure& failure) {
        if (fleet.reading()) {
            std::fprintf(stderr, "veltra: %s\n", failure.what());
            endIfStillReading(fleet, kExitFailure);
        }
        throw;
    }
    endIfStillReading(fleet, 0);
}

void addCardsOption(CLI::App& command, Options& o) {
    command.add_option("-c,--card", o.cards,
                       "a card to watch: its index, serial:0xSERIAL or its device path; again "
                       "for more (default: every card)");
    command
        .add_option("--timeout", o.timeout,
                    "SECONDS a card may take to answer before it is reported down (default 5)")
        ->check(CLI::Range(0.05, 600.0));
}

Work defineExporter(CLI::App& command) {
    auto o = std::make_shared<Options>();
    CLI::Option* listen =
        command.add_option("--listen", o->listen,
                           "ADDRESS:PORT to serve /metrics on (default 127.0.0.1:9867: this host "
                           "only; :9867 (every IPv4 address) or [::]:9867 (IPv6) to let other "
                           "hosts scrape it)");
    command
        .add_option("--textfile", o->textfile,
                    "write DIR/veltra.prom every --interval instead of serving, for the "
                    "textfile collector of the node or Windows exporter; each file complete")
        ->excludes(listen);
    command
        .add_option("--max-connections", o->maxConnections,
                    "connections held at once (default 64); at the limit a new connection takes "
                    "the place of the oldest that is not being answered (idle, sending its "
                    "request, or not taking its answer)")
        ->check(CLI::Range(1, 10000))
        ->excludes("--textfile");
    o->intervalOption = command
                            .add_option("--interval", o->interval,
                                        "SECONDS between the files --textfile writes (default 15)")
                            ->check(CLI::Range(0.05, 86400.0));
    addCardsOption(command, *o);
#if defined(_WIN32)
    command.add_flag("--service", o->service,
                     "run as a Windows service (the command line of the service's entry)");
#endif
    return [o] { runExporter(*o); };
}

std::string metricList() {
    std::string list = "Metrics (the # HELP lines):\n";
    for (const exporter::Metric& metric : exporter::metrics())
        list += format("  %s (%s)\n      %s\n", metric.name, metric.type, metric.help);
    return list;
}

Work defineMetrics(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addCardsOption(command, *o);
    command.footer(metricList());
    return [o] {
        Fleet fleet(selections(*o), milliseconds(o->timeout));
        exporter::Census census;
        const std::string exposition = fleet.scrape(&census);
        std::fwrite(exposition.data(), 1, exposition.size(), stdout);
        // As veltra list: no card to watch is a failure, which says why.
        std::string problem;
        if (census.listed == 0)
            problem = "no cards: " + whyNoCards();
        else if (census.up == 0)
            problem = "no card answered";
        if (!problem.empty()) {
            if (fleet.reading()) {
                std::fprintf(stderr, "veltra: %s\n", problem.c_str());
                endIfStillReading(fleet, kExitFailure);
            }
            throw Failure(problem);
        }
        endIfStillReading(fleet, 0);
    };
}

constexpr Command kCommands[] = {
    {"exporter",
     "serve the cards' metrics to Prometheus over HTTP (or write them for a textfile collector)",
     defineExporter},
    {"metrics", "print the cards' metrics once, as the exporter serves them", defineMetrics},
};

}  // namespace exporter_command

Commands exporterCommands() {
    return exporter_command::kCommands;
}

}  // namespace tool
