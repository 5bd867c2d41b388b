// convert: the converter program. Everything but the entry point lives in convcore.
#include "tools/convert/pipeline.h"

#ifdef _WIN32
#include <cwchar>

// With -municode the runtime hands over the command line as UTF-16, whatever the
// ANSI code page of the process that started us.
int wmain(int argc, wchar_t** argv) {
    std::vector<conv::Path> args(argv + 1, argv + argc);
    return conv::runConverter(args);
}
#else
int main(int argc, char** argv) {
    std::vector<conv::Path> args(argv + 1, argv + argc);
    return conv::runConverter(args);
}
#endif
