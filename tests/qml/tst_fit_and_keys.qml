import QtQuick
import QtQuick.Controls
import QtTest
import org.hollowkeep
import Hollowkeep.Testing

// Sheets that fit the window, and the keyboard: what a user without a tall screen or a mouse meets.
TestCase {
    id: test
    name: "FitAndKeys"
    width: 500
    height: 460
    visible: true
    when: windowShown

    Component {
        id: contentComponent
        ContentView { anchors.fill: parent }
    }
    // The content in a window of its own, as the program shows it.
    Component {
        id: windowComponent
        ThemedWindow {
            property alias content: content
            visible: true
            ContentView { id: content; anchors.fill: parent }
        }
    }

    function init() {
        Fixture.reset()
        Fixture.refuseAttach(false)
        Fixture.respond("hdiutil-imageinfo", "", "", 0)
        Preferences.appTheme = "classic"
    }
    // Whether the whole item lies inside the window.
    function inside(item, window) {
        const r = item.mapToItem(null, 0, 0, item.width, item.height)
        return item.visible && r.x >= 0 && r.y >= 0 && r.x + r.width <= window.width && r.y + r.height <= window.height
    }

    function test_everySheetShowsItsHeaderAndButtons_data() {
        const sheets = [["create", "createVaultView", "createButton"], ["unlock", "unlockView", "unlockButton"],
                        ["rename", "renameView", "mainButton"], ["resize", "resizeView", "mainButton"],
                        ["changePassword", "changePasswordView", "mainButton"], ["verify", "verifyVaultView", "mainButton"],
                        ["compact", "passwordActionView", "mainButton"], ["delete", "deleteVaultView", "mainButton"],
                        ["settings", "vaultSettingsView", "mainButton"]]
        const rows = []
        for (const size of [[500, 460], [460, 380]])
            for (const [kind, sheet, button] of sheets)
                rows.push({ tag: kind + " at " + size.join("×"), kind: kind, sheet: sheet, button: button, w: size[0], h: size[1] })
        return rows
    }
    function test_everySheetShowsItsHeaderAndButtons(data) {
        const id = Fixture.addVault("A vault with a rather long name", "present", 1024, false, false)
        const window = createTemporaryObject(windowComponent, test, { width: data.w, height: data.h })
        tryCompare(window, "height", data.h)
        const view = window.content
        const vault = VaultActions.vault(id)
        const open = {
            create: () => view.showingCreate = true, unlock: () => VaultActions.usePassword(id),
            rename: () => view.renameTarget = vault, resize: () => view.resizeTarget = vault,
            changePassword: () => view.changePasswordTarget = vault, verify: () => view.verifyTarget = vault,
            compact: () => view.compactTarget = vault, delete: () => view.deleteTarget = vault,
            settings: () => view.settingsTarget = vault
        }
        open[data.kind]()
        const sheet = findChild(view, data.sheet)
        tryVerify(() => sheet.opened)
        waitForRendering(sheet.contentItem)
        verify(inside(findChild(sheet.contentItem, data.button), window), "button hidden")
        verify(inside(findChild(sheet.contentItem, "cancelButton"), window), "cancel hidden")
        if (data.kind === "create")
            verify(inside(findChild(sheet.contentItem, "forgetWarning"), window), "warning hidden")
        verify(sheet.y >= 0 && sheet.y + sheet.height <= window.height, "sheet taller than the window")
        // When the middle scrolls, a scroll bar says so.
        compare(findChild(sheet.contentItem, "sheetScrollBar").visible, sheet.scrolls)
        sheet.close()
        tryVerify(() => !sheet.visible)
        // The window is given back its height.
        compare(window.height, data.h)
    }

    // At the smallest window, with a vault open, the header's buttons and each card's controls
    // lie whole inside the window; the title gives way.
    function test_homeFitsTheSmallestWindow() {
        const open = Fixture.addVault("Work Projects", "present", 2048, false, false)
        Fixture.addVault("A vault with a rather long name indeed", "present", 1024, false, false)
        const window = createTemporaryObject(windowComponent, test, { width: 460, height: 380 })
        tryCompare(window, "width", 460)
        Fixture.unlock(open)
        const view = window.content
        const shown = (name) => Fixture.itemsNamed(view, name).filter(item => item.visible)
        tryVerify(() => shown("lockButton").length === 1 && shown("lockAllButton").length === 1, 5000,
                  "lock buttons shown: " + shown("lockButton").length + ", lock all: " + shown("lockAllButton").length
                  + ", open vaults: " + Object.keys(VaultStore.mountPoints).length + ", busy: " + VaultStore.busyVaults.length)
        waitForRendering(view)
        for (const name of ["lockAllButton", "newVaultButton", "appMenuButton", "lockButton", "openButton", "unlockButton"])
            for (const item of shown(name))
                verify(inside(item, window), name + " is cut off")
        compare(shown("unlockButton").length, 1)
    }

    // Reopened, the create sheet starts at the top with the name focused, whatever was scrolled
    // or focused before.
    function test_createReopensAtTheTop() {
        const window = createTemporaryObject(windowComponent, test, { width: 460, height: 380 })
        const view = window.content
        view.showingCreate = true
        const sheet = findChild(view, "createVaultView")
        tryVerify(() => sheet.opened)
        const name = findChild(sheet.contentItem, "nameField")
        tryVerify(() => name.activeFocus)
        // However tall the screen, this window is too short for the whole sheet.
        window.height = 380
        tryVerify(() => sheet.scrolls && sheet.height <= 360)
        const hint = findChild(sheet.contentItem, "hintField")
        hint.forceActiveFocus()
        const flick = findChild(sheet.contentItem, "sheetScrollBar").parent
        tryVerify(() => flick.contentY > 0)
        sheet.close()
        tryVerify(() => !sheet.visible)
        view.showingCreate = true
        tryVerify(() => sheet.opened)
        compare(flick.contentY, 0)
        tryVerify(() => name.activeFocus)
    }

    // Return runs the sheet's main action from any field once the form is valid.
    function test_returnRunsTheSheet() {
        const view = createTemporaryObject(contentComponent, test)
        view.showingCreate = true
        const sheet = findChild(view, "createVaultView")
        tryVerify(() => sheet.opened)
        sheet.directory = "file://" + Fixture.home()
        findChild(sheet.contentItem, "nameField").text = "Keys"
        findChild(sheet.contentItem, "passwordField").text = "correct horse"
        keyClick(Qt.Key_Return)
        verify(sheet.visible)
        findChild(sheet.contentItem, "confirmField").text = "correct horse"
        findChild(sheet.contentItem, "hintField").forceActiveFocus()
        keyClick(Qt.Key_Return)
        tryVerify(() => !sheet.visible)
        compare(VaultStore.vaults[0].name, "Keys")

        const rename = findChild(view, "renameView")
        view.renameTarget = VaultActions.vault(VaultStore.vaults[0].id)
        tryVerify(() => rename.opened)
        tryVerify(() => findChild(rename.contentItem, "nameField").activeFocus)
        findChild(rename.contentItem, "nameField").text = "Renamed"
        findChild(rename.contentItem, "passwordField").text = "pw"
        keyClick(Qt.Key_Return)
        tryVerify(() => !rename.visible)
        compare(VaultStore.vaults[0].name, "Renamed")
    }

    // Return closes an alert with one button; over a sheet it answers the alert, not the sheet.
    function test_returnClosesTheAlert() {
        const id = Fixture.addVault("Typed", "present", 1024, false, false)
        const view = createTemporaryObject(contentComponent, test)
        VaultActions.usePassword(id)
        const sheet = findChild(view, "unlockView")
        tryVerify(() => sheet.opened)
        const alert = findChild(view, "errorAlert")
        Fixture.fail("Wrong password for “Typed”.")
        tryVerify(() => alert.opened)
        keyClick(Qt.Key_Return)
        tryVerify(() => !alert.visible)
        compare(VaultStore.errorMessage, "")
        verify(sheet.visible)
        tryVerify(() => findChild(sheet.contentItem, "passwordField").activeFocus)
    }

    // The chevron opens its menu and nothing else; the button beside it opens the create sheet.
    function test_chevronOpensOnlyTheMenu() {
        const view = createTemporaryObject(contentComponent, test)
        const chevron = findChild(view, "newVaultChevron")
        mouseClick(chevron)
        const create = findChild(view, "createVaultView")
        const menuItem = findChild(view, "addExistingItem")
        tryVerify(() => menuItem !== null && menuItem.visible)
        wait(50)
        verify(!create.visible)
        keyClick(Qt.Key_Escape)
        mouseClick(findChild(view, "newVaultButton"), 10, 10)
        tryVerify(() => create.opened)
    }
}
