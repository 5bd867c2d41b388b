#include "app/form1_wiring.h"

#include "app/option_controls.h"
#include "app/settings_io.h"
#include "convert/batch_driver_win.h"
#include "dialogs/common_dlgs_w.h"
#include "runner/dos_outputs.h"

namespace tess {

Control& Form1Host::ControlOf(Field field) const {
    // In the order of FormHost::Field.
    Control* const byField[] = {&form_.Label1, &form_.lblFormat, &form_.Text1, &form_.Label5, &form_.txtResize};
    return *byField[static_cast<std::size_t>(field)];
}

std::size_t Form1Host::FileCount() const {
    const int n = form_.lstFile.ListCount();
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool Form1Host::FileExists(const std::wstring& path) const { return tess::FileExists(path); }

std::wstring Form1Host::SettingsFolder() const { return tess::SettingsFolder(); }

FormWiring::FormWiring(Form1& form) : form_(form), host_(form) {
    Form1::Events& e = form_.events;
    e.createRunner = [this] {
        runDos_ = std::make_unique<DOSOutputs>();
        MakeBatchesWhenReady();
    };
    e.createDialogs = [this] {
        dlgFiles_ = std::make_unique<CommonDlgsW>();
        MakeBatchesWhenReady();
    };
    e.surfaceClick = [this] {
        if (batches_) batches_->OnSurfaceClick();
    };
    e.drop = [this](IDataObject* data, DWORD* effect) {
        if (batches_) batches_->OnDrop(data, effect);
    };
    e.timerTick = [this] {
        if (batches_) batches_->OnTick();
    };
    e.command1Click = [this] { ChooseOutputFolder(form_); };
    e.lblFormatClick = [this] { AdvanceFormat(form_); };
    e.label5Click = [this] { ToggleResizeSwitch(form_); };
    e.label3Click = [] { OpenProductPage(); };
}

FormWiring::~FormWiring() { form_.events = {}; }

void FormWiring::MakeBatchesWhenReady() {
    if (runDos_ && dlgFiles_ && !batches_)
        batches_ = std::make_unique<BatchDriver>(host_, *runDos_, *dlgFiles_);
}

}  // namespace tess
