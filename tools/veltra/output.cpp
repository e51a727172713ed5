#include "output.h"

#include <cstdio>
#include <ctime>
#include <iostream>

#include "errors.h"
#include "text.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace tool {

json versioned(const json& document) {
    if (!document.is_object())
        return document;
    json out{{"schemaVersion", kJsonSchemaVersion}};
    out.update(document);
    return out;
}

namespace {

// Texts from a card are not always UTF-8: a byte that is not becomes U+FFFD.
std::string dump(const json& document, int indent) {
    return versioned(document).dump(indent, ' ', false, json::error_handler_t::replace);
}

}  // namespace

void flushOutput() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        throw OutputFailed();
}

void printJson(const json& document) {
    std::printf("%s\n", dump(document, 2).c_str());
    flushOutput();
}

void printJsonLine(const json& document) {
    std::printf("%s\n", dump(document, -1).c_str());
    flushOutput();
}

json hexValue(uint64_t value, int digits) {
    return hex(value, digits);
}

bool isTerminal(FILE* stream) {
#if defined(_WIN32)
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

void confirm(const std::string& question, bool yes) {
    if (yes)
        return;
    if (!isTerminal(stdin) || !isTerminal(stderr))
        throw Failure(
            "this changes the card: give --yes to go ahead without a terminal to ask "
            "at; nothing changed");
    std::fprintf(stderr, "%s [y/N] ", question.c_str());
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes"))
        throw Failure("not confirmed: nothing changed");
}

Progress::Progress(std::string label, uint64_t total, bool enabled)
    : label_(std::move(label)),
      total_(total),
      enabled_(enabled && isTerminal(stderr)),
      start_(std::chrono::steady_clock::now()),
      lastDraw_(start_) {
    if (enabled_)
        draw(0, false);
}

Progress::~Progress() {
    // A bar left by a failure ends its line so that the message starts on
    // its own.
    if (enabled_ && !finished_)
        std::fputc('\n', stderr);
}

void Progress::update(uint64_t done) {
    if (!enabled_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDraw_ < std::chrono::milliseconds(100))
        return;
    lastDraw_ = now;
    draw(done, false);
}

void Progress::finish() {
    if (!enabled_ || finished_)
        return;
    draw(total_, true);
    finished_ = true;
}

void Progress::draw(uint64_t done, bool last) {
    constexpr int kWidth = 30;
    const double fraction =
        total_ == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total_);
    const int filled = static_cast<int>(fraction * kWidth);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::fprintf(stderr, "\r%-10s [%-*s] %3.0f%% %s of %s, %s\x1b[K%s", label_.c_str(), kWidth,
                 std::string(static_cast<size_t>(filled), '#').c_str(), fraction * 100,
                 sizeText(done).c_str(), sizeText(total_).c_str(), rateText(done, seconds).c_str(),
                 last ? "\n" : "");
    std::fflush(stderr);
}

std::string timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    return format("%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
}

}  // namespace tool
