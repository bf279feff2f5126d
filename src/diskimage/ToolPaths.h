#pragma once

#include <QString>

// Where the disk-image tools are.
//
// HOLLOWKEEP_TOOLS_DIR, when set, names one folder holding all four (hdiutil, diskutil, mdutil
// and du); the tests point it at stand-ins. Otherwise the program's own tools come from
// <prefix>/libexec/hollowkeep (beside the executable's bin folder, which also holds in the build
// tree) and du is the system's.
namespace ToolPaths {

[[nodiscard]] QString hdiutil();
[[nodiscard]] QString diskutil();
[[nodiscard]] QString mdutil();
[[nodiscard]] QString du();

} // namespace ToolPaths
