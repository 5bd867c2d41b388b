#include "convert/batch_queue.h"

#include <algorithm>
#include <unordered_set>


namespace tess {
namespace {

constexpr std::size_t kMaxReason = 300;

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

// All non-blank lines of the output joined by single spaces, so that a reason spread
// over several lines still reads as one; very long output is cut.
std::wstring OneLine(const std::wstring& text) {
    std::wstring line;
    bool gap = false;
    for (wchar_t c : text) {
        if (IsSpace(c)) {
            gap = !line.empty();
            continue;
        }
        if (gap) line += L' ';
        gap = false;
        line += (c < 0x20 ? L' ' : c);
    }
    if (line.size() > kMaxReason) {
        line.resize(kMaxReason - 3);
        line += L"...";
    }
    return line;
}

std::wstring FileNameOf(const std::wstring& path) {
    const auto slash = path.rfind(L'\\');
    if (slash == std::wstring::npos || slash + 1 == path.size()) return path;
    return path.substr(slash + 1);
}

std::wstring Heading(const BatchOutcome& outcome) {
    const std::size_t total = std::max(outcome.photos, outcome.failures.size());
    return std::to_wstring(outcome.failures.size()) + L" of " + std::to_wstring(total) +
           (total == 1 ? L" photo" : L" photos") + L" could not be converted:";
}

// A line of the message box: long enough to tell the photo and the reason, short enough
// that it wraps at most once or twice.
std::wstring Shortened(std::wstring line) {
    if (line.size() > kShownLineLength) {
        line.resize(kShownLineLength - 1);
        line += L'\u2026';
    }
    return line;
}

}  // namespace

std::wstring FailureReason(const RunResult& run) {
    if (!run.started) return L"could not start";
    std::wstring fallback;
    if (run.exitCode && *run.exitCode != 0)
        fallback = L"exited with code " + std::to_wstring(*run.exitCode);
    else if (!run.outputWritten)
        fallback = L"produced no output file";
    else
        return {};
    std::wstring said = OneLine(run.output);
    return said.empty() ? fallback : said;
}

std::wstring FailureMessage(const BatchOutcome& outcome, std::wstring_view listPath) {
    if (outcome.failures.empty()) return {};
    std::wstring text = Heading(outcome);
    const std::size_t shown = std::min(outcome.failures.size(), kShownFailures);
    for (std::size_t i = 0; i < shown; ++i) {
        const Failure& f = outcome.failures[i];
        text += L"\r\n";
        text += Shortened(FileNameOf(f.photo) + L": " + f.reason);
    }
    if (shown < outcome.failures.size()) {
        text += L"\r\n\u2026 and " + std::to_wstring(outcome.failures.size() - shown) + L" more.";
        if (!listPath.empty()) {
            text += L"\r\n\r\nThe whole list is in ";
            text += listPath;
        }
    }
    return text;
}

std::wstring FailureList(const BatchOutcome& outcome) {
    if (outcome.failures.empty()) return {};
    std::wstring text = Heading(outcome) + L"\r\n";
    for (const Failure& f : outcome.failures) text += f.photo + L": " + f.reason + L"\r\n";
    return text;
}

void BatchQueue::Add(std::wstring path, std::wstring shownAs) {
    entries_.push_back({std::move(path), std::move(shownAs)});
}

bool BatchQueue::Begin() {
    if (running_) return false;
    running_ = true;
    next_ = 0;
    failed_.clear();
    return true;
}

std::optional<BatchEntry> BatchQueue::NextEntry() {
    if (!running_ || next_ >= entries_.size()) return std::nullopt;
    BatchEntry e{next_, entries_[next_].path};
    ++next_;
    return e;
}

void BatchQueue::RecordResult(const RunResult& run) {
    if (!running_ || next_ == 0) return;
    const std::size_t current = next_ - 1;
    std::erase_if(failed_, [&](const auto& f) { return f.first == current; });
    std::wstring reason = FailureReason(run);
    if (!reason.empty()) failed_.emplace_back(current, std::move(reason));
}

BatchOutcome BatchQueue::Finish() {
    if (!running_) return {};
    BatchOutcome outcome;
    // Each photo once, as the user gave it, however often it was given.
    std::unordered_set<std::wstring> photos, named;
    auto shown = [&](std::size_t index) -> const std::wstring& {
        const Item& item = entries_[index];
        return item.shownAs.empty() ? item.path : item.shownAs;
    };
    for (std::size_t i = 0; i < next_; ++i) photos.insert(FoldCase(shown(i)));
    outcome.photos = photos.size();
    for (const auto& [index, reason] : failed_)
        if (named.insert(FoldCase(shown(index))).second) outcome.failures.push_back({shown(index), reason});

    entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(next_));
    failed_.clear();
    names_.Clear();
    next_ = 0;
    running_ = false;
    return outcome;
}

}  // namespace tess
