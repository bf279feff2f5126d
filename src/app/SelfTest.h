#pragma once

#include <QStringList>

// The headless end-to-end check of the disk-image engine that `hollowkeep --selftest` runs.
namespace SelfTest {

// Whether any element of the argument list, the program path included, is exactly "--selftest".
[[nodiscard]] bool isRequested(const QStringList &arguments);

// Runs the scenario, prints one line ("SELFTEST OK" or "SELFTEST FAIL: …") and answers the exit
// status.
[[nodiscard]] int run(int argc, char **argv);

} // namespace SelfTest
