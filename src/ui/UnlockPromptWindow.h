#pragma once

#include "store/Vault.h"

class QQmlEngine;
class QQuickWindow;

// The unlock sheet in a stand-alone window, for unlocking without the main window. At most one
// exists: showing another vault replaces it.
namespace UnlockPromptWindow {

// The engine the prompt is built in: the application's.
void setEngine(QQmlEngine *engine);
void show(const Vault &vault);
// Closes the prompt and forgets it, as its Cancel button and a finished unlock do.
void close();
// The prompt being shown, or the one closed with its close button; null after it finished.
[[nodiscard]] QQuickWindow *window();

} // namespace UnlockPromptWindow
