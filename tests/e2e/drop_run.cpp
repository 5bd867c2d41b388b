#include "tests/e2e/drop_run.h"

#include <ole2.h>

#include "app/form1.h"
#include "app/form1_wiring.h"
#include "convert/batch_driver_win.h"
#include "tests/batch/support.h"

namespace tess::e2e {

bool DropAndRunBatch(Form1& form, FormWiring& wiring, const testing::ShellRecorder& shell,
                     const std::vector<std::wstring>& paths, std::chrono::milliseconds limit) {
    IDataObject* data = testing::NewFileDrop(paths);
    DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
    form.GetDropTarget()->Drop(data, MK_LBUTTON, POINTL{100, 100}, &effect);
    data->Release();
    return testing::PumpUntil([&] { return !shell.executes.empty() && !wiring.batches()->Busy(); }, limit);
}

}  // namespace tess::e2e
