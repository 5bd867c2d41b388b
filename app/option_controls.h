// The option controls of the window: the output-folder chooser, the format cycle, the
// resize switch and the product-page link, and the two path tests.
#pragma once

#include <string>
#include <string_view>

namespace tess {

class Form1;

// The maker's page, opened by Label3.
inline constexpr char kProductPage[] = "https://tessaline.org/";

// Click on Command1 or lblPath: lets the user pick the output folder. A cancelled or failed
// choice goes back to C:\output. Both captions show the folder afterwards.
void ChooseOutputFolder(Form1& form);
// Click on lblFormat: JPG -> PNG -> GIF -> TIF -> BMP -> JPG; any other word stays.
void AdvanceFormat(Form1& form);
// Click on Label5: "NO" becomes "YES" with the width box enabled; anything else becomes "NO"
// with the box disabled. The width text stays.
void ToggleResizeSwitch(Form1& form);
// Click on Label3: the product page in the default browser.
void OpenProductPage();

// The word after `word` in the format cycle, or `word` itself when it is none of the five.
std::wstring NextFormatWord(std::wstring_view word);

// The path, narrowed to the ANSI code page, names an existing folder.
bool FolderExists(std::wstring_view pstrFolder);
// The path, narrowed to the ANSI code page, names an existing file that is not a folder.
bool FileExists(std::wstring_view pstrFile);

}  // namespace tess
