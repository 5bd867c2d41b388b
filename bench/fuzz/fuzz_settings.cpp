// The settings-file reader: any bytes as the file; values written and read back.
#include "app/settings_file.h"
#include "bench/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto& cp = tess::Windows1252();
    const std::vector<std::wstring> lines = tess::ParseSettingsLines(bytes, cp);
    FUZZ_CHECK(lines.size() <= tess::kSettingsLineCount);
    FUZZ_CHECK(size == 0 || !lines.empty());
    for (const std::wstring& l : lines) FUZZ_CHECK(l.find_first_of(L"\r\n") == std::wstring::npos);
    // Four values without line ends come back as they were written.
    if (lines.size() == tess::kSettingsLineCount) {
        const tess::SettingsValues v{lines[0], lines[1], lines[2], lines[3]};
        const std::vector<std::wstring> again = tess::ParseSettingsLines(tess::FormatSettings(v, cp), cp);
        FUZZ_CHECK(again.size() == tess::kSettingsLineCount);
        for (size_t i = 0; i < again.size(); ++i) FUZZ_CHECK(again[i] == tess::AnsiRoundTrip(lines[i], cp));
    }
    return 0;
}
