// The window's naming and command-line functions: paths and captions as wide text.
#include "bench/fuzz/fuzz_support.h"
#include "convert/batch_names.h"
#include "convert/command_line.h"
#include "convert/entry_plan.h"
#include "convert/get_file.h"
#include "convert/naming.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Bytes in(data, size);
    const std::wstring path = in.wide(), folder = in.wide(), quality = in.wide(), width = in.wide(),
                       sw = in.wide();
    const auto& cp = tess::Windows1252();
    const tess::Clock now = [] { return tess::LocalTime{2026, 12, 9, 4, 5, 6}; };

    const std::wstring base = tess::GetBaseName(path);
    const std::wstring clean = tess::CleanBaseName(base, cp, now);
    FUZZ_CHECK(!clean.empty() && clean.size() <= 200);
    FUZZ_CHECK(clean.find_first_of(L"/\\<>?\":*|") == std::wstring::npos);
    FUZZ_CHECK(tess::SurvivesCodePage(clean, cp));
    tess::ExtensionOf(path);
    tess::ScratchExtensionOf(path);
    tess::ApplicationFolder(path);
    tess::FoldCase(path);

    const std::wstring resize = tess::ReadResizeOption(sw, width);
    FUZZ_CHECK(resize.empty() == (sw != L"YES"));
    const std::wstring line = tess::BuildCommandLine({folder, quality, path, resize, folder, clean, L"JPG"});
    FUZZ_CHECK(line.find(L"\"" + path + L"\"") != std::wstring::npos);

    tess::BatchNames names;
    const tess::EntryPlan a = tess::PlanDroppedEntry(path, folder, L"PNG", names, cp, now);
    const tess::EntryPlan b = tess::PlanDroppedEntry(path, folder, L"PNG", names, cp, now);
    FUZZ_CHECK(tess::FoldCase(a.outputPath) != tess::FoldCase(b.outputPath));
    tess::PlanDialogEntry(path, folder, L"BMP", names);
    tess::ClaimScratchCopy(path, names, cp, now);
    return 0;
}
