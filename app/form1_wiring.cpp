#include "app/form1_wiring.h"

#include "app/option_controls.h"
#include "convert/batch_driver_win.h"
#include "dialogs/common_dlgs_w.h"
#include "runner/dos_outputs.h"

namespace tess {

tess::Control& Form1Host::ControlOf(Field field) const {
    switch (field) {
        case Field::Label1: return form_.Label1;
        case Field::lblFormat: return form_.lblFormat;
        case Field::Text1: return form_.Text1;
        case Field::Label5: return form_.Label5;
        case Field::txtResize: return form_.txtResize;
        case Field::lblPath: return form_.lblPath;
        case Field::Command1: return form_.Command1;
    }
    return form_.Label1;
}

std::wstring Form1Host::Text(Field field) const { return ControlOf(field).Text(); }

void Form1Host::SetText(Field field, const std::wstring& text) { ControlOf(field).SetText(text); }

std::size_t Form1Host::FileCount() const {
    const int n = form_.lstFile.ListCount();
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void Form1Host::RemoveFirstFile() {
    SendMessageW(form_.lstFile.Handle(), LB_DELETESTRING, 0, 0);
}

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
    e.command1Click = [this] { ChooseOutputFolder(host_); };
    e.lblFormatClick = [this] { AdvanceFormat(host_); };
    e.label5Click = [this] { ToggleResizeSwitch(host_); };
    e.label3Click = [] { OpenProductPage(); };
}

FormWiring::~FormWiring() { form_.events = {}; }

void FormWiring::MakeBatchesWhenReady() {
    if (runDos_ && dlgFiles_ && !batches_)
        batches_ = std::make_unique<BatchDriver>(host_, *runDos_, *dlgFiles_);
}

}  // namespace tess
