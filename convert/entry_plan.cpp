#include "convert/entry_plan.h"

#include "convert/get_file.h"

namespace tess {

ClaimedName ClaimScratchCopy(std::wstring_view chosenPath, BatchNames& names, const CodePage& cp,
                             const Clock& now) {
    return names.ClaimScratch(CleanBaseName(GetBaseName(chosenPath), cp, now),
                              ScratchExtensionOf(chosenPath));
}

EntryPlan PlanDroppedEntry(std::wstring_view entry, std::wstring_view outputFolder,
                           std::wstring_view formatWord, BatchNames& names, const CodePage& cp,
                           const Clock& now) {
    EntryPlan plan;
    const std::wstring cleaned = CleanBaseName(GetBaseName(entry), cp, now);
    if (SurvivesCodePage(entry, cp)) {
        plan.inputPath = std::wstring(entry);
    } else {
        plan.copyFrom = std::wstring(entry);
        plan.inputPath = names.ClaimScratch(cleaned, ScratchExtensionOf(entry)).path;
    }
    ClaimedName out = names.ClaimOutput(outputFolder, cleaned, formatWord);
    plan.outputBaseName = std::move(out.baseName);
    plan.outputPath = std::move(out.path);
    return plan;
}

EntryPlan PlanDialogEntry(std::wstring_view entry, std::wstring_view outputFolder,
                          std::wstring_view formatWord, BatchNames& names) {
    EntryPlan plan;
    plan.inputPath = std::wstring(entry);
    ClaimedName out = names.ClaimOutput(outputFolder, GetBaseName(entry), formatWord);
    plan.outputBaseName = std::move(out.baseName);
    plan.outputPath = std::move(out.path);
    return plan;
}

}  // namespace tess
