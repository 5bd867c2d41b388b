// Ties the window to what its events drive: the command runner runDos, the dialog object
// dlgFiles, the option controls and the two batch drivers. One object per window, kept
// alive as long as the window can raise events.
#pragma once

#include <memory>

#include "app/form1.h"
#include "convert/form_host.h"

namespace tess {

class BatchDriver;
class CommonDlgsW;
class DOSOutputs;

// Form1 as the batch drivers see it.
class Form1Host final : public FormHost {
public:
    explicit Form1Host(Form1& form) : form_(form) {}

    HWND Window() const override { return form_.hwnd(); }
    std::wstring Text(Field field) const override { return ControlOf(field).Text(); }
    void SetText(Field field, const std::wstring& text) override { ControlOf(field).SetText(text); }
    std::wstring PromptText() const override { return Form1::kPrompt; }
    void ShowPrompt() override { form_.Label1.SetVisible(true); }
    void ShowNormalBackground() override { form_.ShowNormalBackground(); }

    std::wstring OutputPath() const override { return form_.strOutputPath; }
    void SetOutputPath(const std::wstring& path) override { form_.strOutputPath = path; }
    std::wstring Command() const override { return form_.strCommand; }
    void SetCommand(const std::wstring& command) override { form_.strCommand = command; }
    std::wstring Resize() const override { return form_.strResize; }
    void SetResize(const std::wstring& fragment) override { form_.strResize = fragment; }

    void ArmTimer() override { form_.timerRun.SetEnabled(true); }
    void DisarmTimer() override { form_.timerRun.SetEnabled(false); }

    std::size_t FileCount() const override;
    void AddFile(const std::wstring& path) override { form_.lstFile.AddItem(path); }
    void RemoveFirstFile() override { form_.lstFile.RemoveFirstItem(); }

    bool FileExists(const std::wstring& path) const override;
    std::wstring SettingsFolder() const override;

private:
    Control& ControlOf(Field field) const;

    Form1& form_;
};

class FormWiring {
public:
    // Plugs the handlers into form.events; runDos and dlgFiles are made when the window
    // loads (its steps 2 and 3).
    explicit FormWiring(Form1& form);
    ~FormWiring();
    FormWiring(const FormWiring&) = delete;
    FormWiring& operator=(const FormWiring&) = delete;

    // Null until the window has loaded.
    DOSOutputs* runDos() const { return runDos_.get(); }
    CommonDlgsW* dlgFiles() const { return dlgFiles_.get(); }
    BatchDriver* batches() const { return batches_.get(); }

private:
    void MakeBatchesWhenReady();

    Form1& form_;
    Form1Host host_;
    std::unique_ptr<DOSOutputs> runDos_;
    std::unique_ptr<CommonDlgsW> dlgFiles_;
    std::unique_ptr<BatchDriver> batches_;
};

}  // namespace tess
