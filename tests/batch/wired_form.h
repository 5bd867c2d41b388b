// The real window with its wiring, set up the same way for the batch, option and
// end-to-end tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "app/form1.h"
#include "app/form1_wiring.h"
#include "tests/batch/support.h"
#include "tests/dialogs/dialog_driver.h"

namespace tess::testing {

// The real window as the program runs it, shown, with its runner, dialogs, option
// controls and batch drivers; OLE is initialised, the shell calls are recorded and the
// settings file goes to the test's own folder.
class WiredFormTest : public ::testing::Test {
public:
    void SetUp() override;
    void TearDown() override;

    // Makes, wires and loads the window; closes it (saving the settings) and lets it go.
    void OpenForm();
    void CloseForm();

    bool quitOnClose_ = false;  // as the program runs the window: closing it ends the program
    TempFolder temp_;
    ShellRecorder shell_;
    std::unique_ptr<Form1> form_;
    std::unique_ptr<FormWiring> wiring_;
};

}  // namespace tess::testing
