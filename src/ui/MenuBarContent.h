#pragma once

#include <QMenu>
#include <QObject>

class VaultActions;
class VaultStore;

// The tray's plain menu: one entry per vault by its state (a submenu when unlocked, Locate when
// the file is missing, Unlock otherwise, the waiting-for-disk form when its disk is away), then
// Lock All, Add Existing Vault…, the windows and Quit. Rebuilt from the store whenever what it
// shows changes, and before it opens.
class MenuBarContent : public QObject
{
    Q_OBJECT

public:
    MenuBarContent(VaultStore &store, VaultActions &actions, QObject *parent = nullptr);

    [[nodiscard]] QMenu *menu() { return &m_menu; }
    // The entries as shown: texts, "-" for separators, a submenu as "text: entry, entry";
    // a disabled entry in brackets.
    [[nodiscard]] QStringList entries() const;
    void rebuild();

Q_SIGNALS:
    void openMainWindow();
    void openSettings();
    void openWhatsNew();
    void openAbout();
    void quitRequested();

private:
    void addVaultEntry(const QString &id);

    VaultStore &m_store;
    VaultActions &m_actions;
    QMenu m_menu;
};
