#include "tests/batch/wired_form.h"

#include <ole2.h>

namespace tess::testing {

void WiredFormTest::SetUp() {
    OleInitialize(nullptr);
    SetEnvironmentVariableW(L"APPDATA", temp_.Path().c_str());
    OpenForm();
}

void WiredFormTest::TearDown() {
    CloseForm();
    OleUninitialize();
}

void WiredFormTest::OpenForm() {
    Form1::Options options;
    options.show = true;
    options.quitOnClose = quitOnClose_;
    form_ = std::make_unique<Form1>(options);
    wiring_ = std::make_unique<FormWiring>(*form_);
    ASSERT_TRUE(form_->Load());
    ASSERT_NE(wiring_->batches(), nullptr);
}

void WiredFormTest::CloseForm() {
    if (!form_) return;
    form_->Close();
    wiring_.reset();
    form_.reset();
}

}  // namespace tess::testing
