// One drop on the real window, as the shell makes it, and the batch it starts.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tess {
class Form1;
class FormWiring;
namespace testing {
class ShellRecorder;
}

namespace e2e {

// Drops the files on the window's drop target (a CF_HDROP data object) and runs the window
// until the batch has opened the output folder (recorded by `shell`) and ended. False when
// that did not happen within the limit.
bool DropAndRunBatch(Form1& form, FormWiring& wiring, const testing::ShellRecorder& shell,
                     const std::vector<std::wstring>& paths, std::chrono::milliseconds limit);

}  // namespace e2e
}  // namespace tess
