// The window's handlers go on after a failing step: such a step runs through SkipOnFailure,
// which abandons it on any exception, silently, and lets the handler continue.
//
// Only the steps that can fail are wrapped:
// - the handlers other parts plug into the window (making runDos and dlgFiles, the clicks,
//   the drop, the tick), each as a whole;
// - file-system work: reading and writing the settings file, making the output and scratch
//   folders, the scratch copy of a chosen photo, the converting of one entry (its scratch
//   copy, the converter's start and run), the list of failed photos;
// - shell calls: the folder dialog and its path, opening the output folder and the
//   product page, reading the dropped file list from the drop's data;
// - dialogs and message boxes: the open dialog (which refuses a bad file name or size)
//   and the batch's failure message.
// Statements that only set a member or a control's text, show or hide a control, arm the
// timer or yield to the message loop cannot fail and are not wrapped: every window
// procedure the loop can reach catches what its handlers throw.
#pragma once

namespace tess {

template <class Step>
void SkipOnFailure(Step&& step) noexcept {
    try {
        step();
    } catch (...) {
    }
}

}  // namespace tess
