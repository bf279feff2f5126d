#pragma once

#include <QString>

struct Vault;

// A size limit: whole gigabytes as "N GB", anything else as "N MB".
[[nodiscard]] QString formatLimitMB(qint64 mb);
// A byte count in decimal units as file browsers show it: "0 bytes", "1 byte", "532 KB", "1.2 MB",
// "4.27 GB".
[[nodiscard]] QString formatByteCount(qint64 bytes);
// "<bytes> used of <limit>" for an unlocked vault, "<bytes> on disk · up to <limit>" for a locked one.
[[nodiscard]] QString capacityCaption(qint64 bytes, const Vault &vault, bool unlocked);
