// Output and scratch-copy names that stay distinct within one batch.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>

namespace tess {

struct ClaimedName {
    std::wstring baseName;  // what the file is called, without folder and extension
    std::wstring path;      // the full path built from it
};

// Hands out the paths of one batch. A path already handed out in this batch (compared
// without regard to letter case, as Windows compares file names) gets " (2)", " (3)", ...
// before its extension. Files left by earlier batches are not looked at: they are
// overwritten as before.
class BatchNames {
public:
    // outputFolder + "\" + name + "." + formatWord.
    ClaimedName ClaimOutput(std::wstring_view outputFolder, std::wstring_view baseName,
                            std::wstring_view formatWord);
    // "c:\tmp\" + name + "." + extension.
    ClaimedName ClaimScratch(std::wstring_view cleanedName, std::wstring_view extension);
    // Forgets every name: the next batch starts afresh.
    void Clear() { taken_.clear(); }

private:
    template <typename MakePath>
    ClaimedName Claim(std::wstring_view baseName, MakePath makePath);

    std::unordered_set<std::wstring> taken_;  // case-folded paths
};

// The letter case Windows ignores in file names, folded for comparison: ASCII, Latin-1,
// Latin Extended-A, Greek, Cyrillic and the full-width Latin letters.
std::wstring FoldCase(std::wstring_view text);

}  // namespace tess
