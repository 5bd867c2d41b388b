// What the drivers do with one list entry: which file the converter reads (the entry
// itself or a scratch copy of it) and where its output goes.
#pragma once

#include <string>
#include <string_view>

#include "convert/batch_names.h"
#include "convert/naming.h"
#include "core/codepage.h"

namespace tess {

struct EntryPlan {
    std::wstring copyFrom;        // not empty: copy this file to inputPath first (overwriting)
    std::wstring inputPath;       // what the converter is told to read
    std::wstring outputBaseName;  // as it goes into the command line
    std::wstring outputPath;
};

// Drop-driven batch: the output is named CleanBaseName(GetBaseName(entry)); an entry whose
// path the code page cannot hold is converted from a scratch copy in c:\tmp under that
// name, so that the converter, started through the ANSI entry points, can open it.
EntryPlan PlanDroppedEntry(std::wstring_view entry, std::wstring_view outputFolder,
                           std::wstring_view formatWord, BatchNames& names,
                           const CodePage& cp = SystemCodePage(), const Clock& now = LocalNow);

// Dialog-driven batch: the entry (the chosen file or its scratch copy) is converted where
// it lies, and the output takes GetBaseName(entry) as it stands.
EntryPlan PlanDialogEntry(std::wstring_view entry, std::wstring_view outputFolder,
                          std::wstring_view formatWord, BatchNames& names);

// The scratch copy of a chosen file the code page cannot hold: c:\tmp\<cleaned name>.<ext>.
ClaimedName ClaimScratchCopy(std::wstring_view chosenPath, BatchNames& names,
                             const CodePage& cp = SystemCodePage(), const Clock& now = LocalNow);

}  // namespace tess
