#include "core/console_batch_progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iostream>

#include "core/batch_sounds.h"
#include "core/settings_store.h"

namespace tallory::core {

namespace {

// Interrupts (SIGINT, SIGTERM, SIGHUP) received since the batch began.
std::atomic<int> interrupts{0};

void onInterrupt(int) { interrupts.fetch_add(1); }

constexpr int kCancelSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Each kind letter adds its colour or weight; a later colour wins.
std::string styleFor(const char* kinds) {
    std::string colour, weight;
    for (const char* k = kinds; k != nullptr && *k != '\0'; ++k) {
        switch (*k) {
            case 'e': colour = "\033[31m"; break;
            case 'i': colour = "\033[32m"; break;
            case 'k': colour = "\033[34m"; break;
            case 'b': weight = "\033[1m"; break;
            default: break;
        }
    }
    return colour + weight;
}

}  // namespace

ConsoleBatchProgress::ConsoleBatchProgress(std::FILE* out, int overwrite, bool quiet)
    : out_(out), overwrite_(overwrite), quiet_(quiet), terminal_(::isatty(::fileno(out)) != 0) {
    if (overwrite_ == BATCH_OVERWRITE_ASK) {
        if (settings::readInt("Settings", "NeverOverwrite", 0) != 0) {
            overwrite_ = BATCH_OVERWRITE_NEVER;
        } else if (settings::readInt("Settings", "AlwaysOverwrite", 0) != 0) {
            overwrite_ = BATCH_OVERWRITE_ALWAYS;
        }
    }
}

void ConsoleBatchProgress::Create(HWND) {
    interrupts.store(0);
    struct sigaction action{};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < kSignalCount; ++i) {
        signalInstalled_[i] = ::sigaction(kCancelSignals[i], &action, &previousActions_[i]) == 0;
    }
}

void ConsoleBatchProgress::Destroy() {
    for (size_t i = 0; i < kSignalCount; ++i) {
        if (signalInstalled_[i]) ::sigaction(kCancelSignals[i], &previousActions_[i], nullptr);
    }
    delete this;
}

bool ConsoleBatchProgress::stopRequested() {
    if (IsCancelled() != 0) return true;
    if (interrupts.load() == 0) return false;
    if (!stopAnnounced_.exchange(true)) {
        MessageEx("Interrupted: stopping after the files being converted; interrupt again to cancel them.\n", "e");
    }
    return true;
}

int ConsoleBatchProgress::ConfirmOverwrite(const char* path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (overwrite_ == BATCH_OVERWRITE_ALWAYS) return 1;
    if (overwrite_ == BATCH_OVERWRITE_NEVER) return 0;
    // Only a person at a terminal can be asked.
    if (::isatty(STDIN_FILENO) == 0) return 0;
    clearLine();
    std::fprintf(out_, "The output file already exists: %s\nOverwrite it? [y]es, [n]o, [a]lways, ne[v]er: ", path);
    std::fflush(out_);
    std::string answer;
    if (!std::getline(std::cin, answer) || answer.empty()) return 0;
    switch (answer[0]) {
        case 'y': case 'Y': return 1;
        case 'a': case 'A': overwrite_ = BATCH_OVERWRITE_ALWAYS; return 1;
        case 'v': case 'V': overwrite_ = BATCH_OVERWRITE_NEVER; return 0;
        default: return 0;
    }
}

void ConsoleBatchProgress::Message(const char* text) { MessageEx(text, ""); }

void ConsoleBatchProgress::MessageEx(const char* text, const char* kinds) {
    if (text == nullptr) return;
    bool isError = kinds != nullptr && std::strchr(kinds, 'e') != nullptr;
    if (isError) playNamedSound(kSoundConversionError);
    if (quiet_ && !isError) return;
    std::lock_guard<std::mutex> lock(mutex_);
    clearLine();
    std::string style = terminal_ ? styleFor(kinds) : std::string();
    if (style.empty()) {
        std::fputs(text, out_);
    } else {
        std::fprintf(out_, "%s%s\033[0m", style.c_str(), text);
    }
    size_t n = std::strlen(text);
    if (n > 0) atLineStart_ = text[n - 1] == '\n';
    std::fflush(out_);
    drawLine(true);
}

void ConsoleBatchProgress::SetRange(uint32_t total) {
    std::lock_guard<std::mutex> lock(mutex_);
    range_ = total;
    drawLine(false);
}

void ConsoleBatchProgress::SetPos(uint32_t position) {
    std::lock_guard<std::mutex> lock(mutex_);
    position_ = position;
    drawLine(false);
}

void ConsoleBatchProgress::Advance(uint32_t delta) {
    std::lock_guard<std::mutex> lock(mutex_);
    position_ += delta;
    done_ += delta;
    drawLine(false);
}

void ConsoleBatchProgress::SetAction(const char* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    action_ = text != nullptr ? text : "";
}

// The first interrupt lets the current files finish (see stopRequested), unless
// the batch holds one file only; the second cancels them.
int ConsoleBatchProgress::IsCancelled() {
    const int n = interrupts.load();
    return cancelled_.load() || n >= 2 || (n == 1 && singleItem_.load()) ? 1 : 0;
}

void ConsoleBatchProgress::SetItem(const char* text, int) {
    std::lock_guard<std::mutex> lock(mutex_);
    item_ = text != nullptr ? text : "";
    drawLine(true);
}

void ConsoleBatchProgress::Throughput(const CLSID&, int, uint32_t, uint32_t) {}

void ConsoleBatchProgress::Cancel() { cancelled_.store(true); }

void ConsoleBatchProgress::Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    clearLine();
    // The batch is over: no progress line from here on.
    lineEnabled_ = false;
}

void ConsoleBatchProgress::StartBatch(IConvSource** sources, IConvTarget**, bool twoPasses, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    count_ = count > 0 ? count : 0;
    singleItem_.store(count_ <= 1);
    index_ = 0;
    done_ = total_ = 0;
    lengths_.assign(static_cast<size_t>(count_), 0);
    for (int i = 0; i < count_ && sources != nullptr; ++i) {
        uint32_t length = 0;
        if (sources[i] != nullptr && sources[i]->Open()) {
            sources[i]->GetLength(&length, -1, -1);
            sources[i]->Close();
        }
        lengths_[static_cast<size_t>(i)] = twoPasses ? 2ull * length : length;
        total_ += lengths_[static_cast<size_t>(i)];
    }
    itemEnd_ = count_ > 0 ? lengths_[0] : 0;
}

void ConsoleBatchProgress::NextItem() {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = itemEnd_;
    ++index_;
    if (index_ < count_) itemEnd_ += lengths_[static_cast<size_t>(index_)];
}

void ConsoleBatchProgress::clearLine() {
    if (lineShown_) {
        std::fputs("\r\033[K", out_);
        lineShown_ = false;
    }
}

// "[2/8] Converting: 42% of the item, 17% of the batch  name", redrawn in place.
void ConsoleBatchProgress::drawLine(bool force) {
    if (!terminal_ || !lineEnabled_ || quiet_ || !atLineStart_ || count_ == 0) return;
    auto now = std::chrono::steady_clock::now();
    // Ten redraws a second are smooth enough and cost nothing measurable.
    if (!force && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    int item = range_ > 0 ? static_cast<int>(std::min<uint64_t>(100, 100ull * position_ / range_)) : 0;
    int batch = total_ > 0 ? static_cast<int>(std::min<uint64_t>(100, 100 * done_ / total_)) : 0;
    std::fprintf(out_, "\r\033[K[%d/%d] %s %3d%%, batch %3d%%  %s", std::min(index_ + 1, count_), count_,
                 action_.c_str(), item, batch, item_.c_str());
    std::fflush(out_);
    lineShown_ = true;
}

}  // namespace tallory::core
