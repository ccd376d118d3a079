#include "console_progress.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iostream>

namespace tallory::cli {

namespace {

std::atomic<bool> interrupted{false};

void onInterrupt(int) { interrupted.store(true); }

// Each kind letter adds its colour or weight.
std::string styleFor(const char* kinds) {
    std::string style;
    if (kinds == nullptr) return style;
    if (std::strchr(kinds, 'e') != nullptr) style += "\033[31m";
    if (std::strchr(kinds, 'i') != nullptr) style += "\033[32m";
    if (std::strchr(kinds, 'k') != nullptr) style += "\033[34m";
    if (std::strchr(kinds, 'b') != nullptr) style += "\033[1m";
    return style;
}

std::string humanRate(double bytesPerSecond) {
    char text[32];
    if (bytesPerSecond >= 1e6) {
        std::snprintf(text, sizeof text, "%.1f MB/s", bytesPerSecond / 1e6);
    } else {
        std::snprintf(text, sizeof text, "%.0f kB/s", bytesPerSecond / 1e3);
    }
    return text;
}

}  // namespace

ConsoleProgress::ConsoleProgress(OverwriteKind overwrite, bool quiet)
    : overwrite_(overwrite), quiet_(quiet), terminal_(::isatty(STDERR_FILENO) != 0) {}

void ConsoleProgress::installInterruptHandler() {
    struct sigaction action{};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // A terminal closed or a service stopped cancels as Ctrl-C does, so the output is removed.
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

int ConsoleProgress::ConfirmOverwrite(const char* path) {
    if (overwrite_ == OverwriteKind::Always) return 1;
    if (overwrite_ == OverwriteKind::Never) return 0;
    // Only a person at a terminal can be asked.
    if (::isatty(STDIN_FILENO) == 0) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    clearBar();
    std::fprintf(stderr, "Overwrite %s? [y/N] ", path);
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) return 0;
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y') ? 1 : 0;
}

void ConsoleProgress::Message(const char* text) { MessageEx(text, ""); }

void ConsoleProgress::MessageEx(const char* text, const char* kinds) {
    if (text == nullptr) return;
    double bpm = 0;
    if (std::sscanf(text, "Tempo: %lf BPM", &bpm) == 1) tempo_ = bpm;
    bool isError = kinds != nullptr && std::strchr(kinds, 'e') != nullptr;
    if (quiet_ && !isError) return;
    std::lock_guard<std::mutex> lock(mutex_);
    clearBar();
    std::string line(text);
    if (line.empty() || line.back() != '\n') line += '\n';
    std::string style = terminal_ ? styleFor(kinds) : std::string();
    if (style.empty()) {
        std::fputs(line.c_str(), stderr);
    } else {
        line.pop_back();
        std::fprintf(stderr, "%s%s\033[0m\n", style.c_str(), line.c_str());
    }
    drawBar(true);
}

void ConsoleProgress::SetRange(uint32_t total) {
    std::lock_guard<std::mutex> lock(mutex_);
    total_ = total;
    drawBar(false);
}

void ConsoleProgress::SetPos(uint32_t position) {
    std::lock_guard<std::mutex> lock(mutex_);
    position_ = position;
    drawBar(false);
}

void ConsoleProgress::Advance(uint32_t delta) {
    std::lock_guard<std::mutex> lock(mutex_);
    position_ += delta;
    done_ += delta;
    drawBar(false);
}

void ConsoleProgress::SetAction(const char* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    action_ = text != nullptr ? text : "";
    drawBar(true);
}

int ConsoleProgress::IsCancelled() { return interrupted.load() ? 1 : 0; }

void ConsoleProgress::SetItem(const char* text, int) {
    std::lock_guard<std::mutex> lock(mutex_);
    item_ = text != nullptr ? text : "";
    if (!terminal_ && !quiet_ && !item_.empty()) std::fprintf(stderr, "%s %s\n", action_.c_str(), item_.c_str());
    drawBar(true);
}

void ConsoleProgress::Throughput(const CLSID&, int, uint32_t, uint32_t) {}

void ConsoleProgress::Cancel() { interrupted.store(true); }

void ConsoleProgress::Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    clearBar();
}

void ConsoleProgress::clearBar() {
    if (barShown_) {
        std::fputs("\r\033[K", stderr);
        barShown_ = false;
    }
}

void ConsoleProgress::drawBar(bool force) {
    if (!terminal_ || quiet_) return;
    auto now = std::chrono::steady_clock::now();
    // A redraw ten times a second is smooth enough and costs nothing measurable.
    if (!force && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    constexpr int kWidth = 30;
    double fraction = total_ > 0 ? std::min(1.0, static_cast<double>(position_) / total_) : 0.0;
    int filled = static_cast<int>(fraction * kWidth);
    double seconds = std::chrono::duration<double>(now - started_).count();
    int elapsed = static_cast<int>(seconds);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kWidth - filled), '-');
    std::fprintf(stderr, "\r\033[K%s [%s] %3d%%  %s  %d:%02d  %s", action_.c_str(), bar.c_str(),
                 static_cast<int>(fraction * 100), humanRate(seconds > 0 ? done_ / seconds : 0).c_str(),
                 elapsed / 60, elapsed % 60, item_.c_str());
    std::fflush(stderr);
    barShown_ = true;
}

}  // namespace tallory::cli
