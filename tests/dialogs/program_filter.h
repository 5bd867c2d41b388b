// The open dialog's filter of the click-driven batch, as the program sets it and as the
// pairs the dialog should list.
#pragma once

#include <string>
#include <vector>

namespace tess::testing {

inline const wchar_t kProgramFilter[] =
    L"All Files(*.*)|*.*|HEIC - High Efficiency Image Container(*.heic)|*.heic|HEIF - High Efficiency "
    L"Image File(*.heif)|*.heif|NRW - Nikon Digital SLR Camera Raw Image(*.nrw)|*.nrw|NEF - Nikon Digital "
    L"SLR Camera Raw Image(*.NEF)|*.nef|ORF - Olympus Digital Camera Raw Image(*.orf)|*.orf|RW2 - Panasonic "
    L"Lumix Raw Image(*.RW2)|*.rw2|RAF - Fuji Camera Raw File(*.raf)|*.raf|HDR - High Dynamic "
    L"Range(*.hdr)|*.hdr|CR2 - Canon Raw Version 2 Image(*.cr2)|*.cr2|DNG - Digital Negative "
    L"Image(*.dng)|*.dng";

struct FilterPair {
    std::wstring description;
    std::wstring pattern;
};

inline const std::vector<FilterPair> kProgramFilterPairs = {
    {L"All Files(*.*)", L"*.*"},
    {L"HEIC - High Efficiency Image Container(*.heic)", L"*.heic"},
    {L"HEIF - High Efficiency Image File(*.heif)", L"*.heif"},
    {L"NRW - Nikon Digital SLR Camera Raw Image(*.nrw)", L"*.nrw"},
    {L"NEF - Nikon Digital SLR Camera Raw Image(*.NEF)", L"*.nef"},
    {L"ORF - Olympus Digital Camera Raw Image(*.orf)", L"*.orf"},
    {L"RW2 - Panasonic Lumix Raw Image(*.RW2)", L"*.rw2"},
    {L"RAF - Fuji Camera Raw File(*.raf)", L"*.raf"},
    {L"HDR - High Dynamic Range(*.hdr)", L"*.hdr"},
    {L"CR2 - Canon Raw Version 2 Image(*.cr2)", L"*.cr2"},
    {L"DNG - Digital Negative Image(*.dng)", L"*.dng"},
};

}  // namespace tess::testing
