// The list of photos waiting for the converter and the run of one batch over it,
// free of any window so that both batch drivers share it and it is tested natively.
//
// A driver runs a batch like this:
//
//   if (!queue.Begin()) return;              // a batch already runs and takes the new entries
//   while (auto entry = queue.NextEntry()) {
//       ... build the command line for entry->path ...
//       caption = ProgressCaption(entry->index, queue.Count());  // n = entries in the list now
//       queue.RecordResult(run converter);
//   }
//   BatchOutcome outcome = queue.Finish();   // no failures when every photo converted
//
// Entries added while the batch runs (a drop in the middle of it) are handed out by
// the same loop, so nothing dropped is ever left unconverted.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/batch_names.h"

namespace tess {

// What one converter run left behind.
struct RunResult {
    bool started = true;          // false: the converter could not be started at all
    std::optional<int> exitCode;  // when the runner knows it
    bool outputWritten = true;    // the output file exists after the run
    std::wstring output;          // the converter's captured output, widened
};

struct BatchEntry {
    std::size_t index = 0;        // from 0, in the order added
    std::wstring path;            // the path to convert
};

struct Failure {
    std::wstring photo;           // the path the user gave
    std::wstring reason;          // one line
};

// Why a run failed, in one line: the converter's own words when it said anything,
// otherwise "could not start", "exited with code N" or "produced no output file".
// "" for a run that succeeded.
std::wstring FailureReason(const RunResult& run);

// What a finished batch has to report. A photo given more than once (the same path,
// letter case aside) counts once, and is named once when any of its runs failed.
struct BatchOutcome {
    std::size_t photos = 0;          // photos the batch was given
    std::vector<Failure> failures;   // the failed ones, in the order given
};

// The message box shows this many failed photos at most, each line cut to kShownLineLength
// characters, so that it fits on any screen whatever the count.
inline constexpr std::size_t kShownFailures = 10;
inline constexpr std::size_t kShownLineLength = 120;

// The one message shown after a batch with failures: "N of M photos could not be
// converted:", a line per failed photo (file name and reason), then, beyond the first
// kShownFailures, "… and K more." and where the whole list is (`listPath`, when there
// is one). "" when nothing failed.
std::wstring FailureMessage(const BatchOutcome& outcome, std::wstring_view listPath = {});

// The whole list, for a text file: the same heading, then a line per failed photo with
// its full path and reason, each line ended by CR LF.
std::wstring FailureList(const BatchOutcome& outcome);

// True when the message cannot name every failed photo, so the whole list must be kept
// where the user can read it.
inline bool NeedsFailureList(const BatchOutcome& outcome) {
    return outcome.failures.size() > kShownFailures;
}

class BatchQueue {
public:
    // Appends a path as it comes (no test of kind, existence or duplicates). `shownAs` is
    // the path the user knows, when `path` is a scratch copy of it.
    void Add(std::wstring path, std::wstring shownAs = {});

    // Starts a batch over the list. False while a batch runs: that batch converts
    // whatever was added, so the caller has nothing left to do.
    bool Begin();
    bool Running() const { return running_; }

    // The next entry of the running batch, or nothing when the list is exhausted.
    std::optional<BatchEntry> NextEntry();
    // The outcome of the entry last handed out; a second call for it replaces the first.
    void RecordResult(const RunResult& run);

    // Ends the batch: the converted entries leave the list, the names of the batch are
    // forgotten, and what failed is returned.
    BatchOutcome Finish();

    std::size_t Count() const { return entries_.size(); }
    // The output and scratch names of the batch; names claimed before Begin (a scratch
    // copy made when a photo is chosen) belong to the batch that follows.
    BatchNames& Names() { return names_; }

private:
    struct Item {
        std::wstring path;
        std::wstring shownAs;
    };
    std::vector<Item> entries_;
    std::vector<std::pair<std::size_t, std::wstring>> failed_;  // entry index, reason
    BatchNames names_;
    std::size_t next_ = 0;   // entries handed out in this batch
    bool running_ = false;
};

}  // namespace tess
