#pragma once

// The output profiles offered by the main window's "Convert to:" box, in the box's order.

#include <string>
#include <string_view>

namespace convert {

int ProfileCount();

// The box text of profile index (0-based), or an empty text outside the table.
std::string ProfileText(int index);

// The extension, with its dot, named by the closing marker of a box text such as "(WMV)".
// Upper-casing is ASCII only; of several markers the one latest in the rule order wins. Empty
// when the text holds no marker.
std::string OutputExtForText(std::string_view comboText);

// The converter parameters of profile index, with their trailing blank; empty outside the
// table (no selection).
std::string ConvertParamsForIndex(int index);

}  // namespace convert
