#include "convert/batch_queue.h"

#include <algorithm>
#include <unordered_set>

#include "convert/command_line.h"

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

std::wstring FailureMessage(const std::vector<Failure>& failures, std::size_t photosInBatch) {
    // One line per photo, even if it was given twice.
    std::vector<const Failure*> listed;
    std::unordered_set<std::wstring> seen;
    for (const Failure& f : failures)
        if (seen.insert(FoldCase(f.photo)).second) listed.push_back(&f);
    if (listed.empty()) return {};

    const std::size_t total = std::max(photosInBatch, listed.size());
    std::wstring text = std::to_wstring(listed.size()) + L" of " + std::to_wstring(total) +
                        (total == 1 ? L" photo" : L" photos") + L" could not be converted:";
    for (const Failure* f : listed) {
        text += L"\r\n";
        text += FileNameOf(f->photo);
        text += L": ";
        text += f->reason;
    }
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

std::wstring BatchQueue::CounterText() const {
    return ProgressCaption(next_ == 0 ? 0 : next_ - 1, entries_.size());
}

void BatchQueue::RecordResult(const RunResult& run) {
    if (!running_ || next_ == 0) return;
    const std::size_t current = next_ - 1;
    std::erase_if(failed_, [&](const auto& f) { return f.first == current; });
    std::wstring reason = FailureReason(run);
    if (!reason.empty()) failed_.emplace_back(current, std::move(reason));
}

std::wstring BatchQueue::Finish() {
    if (!running_) return {};
    std::vector<Failure> failures;
    for (const auto& [index, reason] : failed_) {
        const Item& item = entries_[index];
        failures.push_back({item.shownAs.empty() ? item.path : item.shownAs, reason});
    }
    std::wstring message = FailureMessage(failures, next_);
    entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(next_));
    failed_.clear();
    names_.Clear();
    next_ = 0;
    running_ = false;
    return message;
}

}  // namespace tess
