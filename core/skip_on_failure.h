// The window's handlers go on after a failing step: each step runs through SkipOnFailure,
// which abandons the step on any exception, silently, and lets the handler continue.
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
