#include "MenuBarContent.h"

#include "SymbolImage.h"
#include "VaultActions.h"
#include "store/VaultStore.h"

using namespace Qt::Literals::StringLiterals;

namespace {

QStringList entriesOf(const QMenu *menu)
{
    QStringList texts;
    for (const QAction *action : menu->actions()) {
        if (action->isSeparator())
            texts << u"-"_qs;
        else if (action->menu())
            texts << action->text() + u": "_qs + entriesOf(action->menu()).join(u", "_qs);
        else
            texts << (action->isEnabled() ? action->text() : u"["_qs + action->text() + u"]"_qs);
    }
    return texts;
}

// A vault's name as a menu shows it: an "&" there is a letter of the name, not a shortcut mark.
QString menuName(const Vault &vault)
{
    QString name = vault.name;
    return name.replace(u'&', u"&&"_s);
}

} // namespace

MenuBarContent::MenuBarContent(VaultStore &store, VaultActions &actions, QObject *parent)
    : QObject(parent), m_store(store), m_actions(actions)
{
    for (const auto signal : {&VaultStore::vaultsChanged, &VaultStore::mountPointsChanged})
        connect(&m_store, signal, this, &MenuBarContent::rebuild);
    connect(&m_actions, &VaultActions::outsideChangesChanged, this, &MenuBarContent::rebuild);
    connect(&m_menu, &QMenu::aboutToShow, this, &MenuBarContent::rebuild);
    rebuild();
}

QStringList MenuBarContent::entries() const
{
    return entriesOf(&m_menu);
}

void MenuBarContent::addVaultEntry(const QString &id)
{
    const std::optional<Vault> vault = m_store.vault(QUuid::fromString(id));
    if (!vault)
        return;
    if (m_store.isUnlocked(vault->id)) {
        QMenu *submenu = m_menu.addMenu(SymbolImage::icon(u"lock.open.fill"_qs), menuName(*vault));
        // Panels that show no icons in their menus still show a check: unlocked vaults stand out.
        submenu->menuAction()->setCheckable(true);
        submenu->menuAction()->setChecked(true);
        submenu->addAction(u"Open in File Manager"_qs, this, [this, id] { m_actions.openInFinder(id); });
        submenu->addAction(u"Lock"_qs, this, [this, id] { m_actions.lock(id); });
        return;
    }
    const QString state = m_actions.fileState(id);
    if (state == QLatin1String("missing")) {
        m_menu.addAction(SymbolImage::icon(u"folder.badge.questionmark"_qs), u"Locate “%1”"_qs.arg(menuName(*vault)), this,
                         [this, id] { m_actions.chooseLocation(id); });
    } else if (state == QLatin1String("waitingForDisk")) {
        m_menu.addAction(SymbolImage::icon(u"externaldrive.badge.questionmark"_qs),
                         u"“%1” — waiting for disk"_qs.arg(menuName(*vault)), this,
                         [this, id] { m_actions.unlockFromTray(id); });
    } else {
        m_menu.addAction(SymbolImage::icon(u"lock.fill"_qs), u"Unlock “%1”"_qs.arg(menuName(*vault)), this,
                         [this, id] { m_actions.unlockFromTray(id); });
    }
}

void MenuBarContent::rebuild()
{
    // An open menu is left alone; it is built afresh before it opens again.
    if (m_menu.isVisible())
        return;
    m_menu.clear();
    if (m_store.vaults().isEmpty())
        m_menu.addAction(u"No vaults yet"_qs)->setEnabled(false);
    for (const Vault &vault : m_store.vaults())
        addVaultEntry(vault.idText());
    m_menu.addSeparator();
    m_menu.addAction(u"Lock All"_qs, this, [this] { m_actions.lockAll(); })
        ->setEnabled(!m_store.mountPoints().isEmpty());
    m_menu.addSeparator();
    m_menu.addAction(u"Add Existing Vault…"_qs, this, [this] { m_actions.chooseExisting(); });
    m_menu.addSeparator();
    m_menu.addAction(u"Open Hollowkeep"_qs, this, &MenuBarContent::openMainWindow);
    m_menu.addAction(u"Settings…"_qs, this, &MenuBarContent::openSettings);
    m_menu.addAction(u"What’s New…"_qs, this, &MenuBarContent::openWhatsNew);
    m_menu.addAction(u"About…"_qs, this, &MenuBarContent::openAbout);
    m_menu.addSeparator();
    m_menu.addAction(u"Quit Hollowkeep"_qs, this, &MenuBarContent::quitRequested);
}
