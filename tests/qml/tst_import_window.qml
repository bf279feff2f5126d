import QtQuick
import QtTest
import org.hollowkeep
import Hollowkeep.Testing

// The "Add to Vault" window over the store, with stand-in tools mounting a plain folder.
TestCase {
    id: test
    name: "ImportWindow"
    when: windowShown

    function init() { Fixture.reset(); Fixture.refuseAttach(false) }
    function control(window, name) { return findChild(window.contentItem, name) }
    // The button row lies whole inside the window.
    function fits(window) {
        const button = control(window, "cancelButton")
        return button.mapToItem(window.contentItem, 0, button.height).y <= window.height
    }

    function test_titles() {
        Fixture.addVault("Box", "present", 1024, false, false)
        let window = Fixture.showImport(["/home/someone/Report.pdf"])
        compare(window.heading, "Add “Report.pdf” to a vault")
        const first = window
        window = Fixture.showImport(["/a/one", "/b/two"])
        compare(window.heading, "Add 2 items to a vault")
        verify(window !== first)
        tryVerify(() => !first.visible)
        window.close()
    }

    // A locked vault with a saved password needs no field; without one, nothing runs until a
    // password is typed.
    function test_passwordOnlyWhenNeeded() {
        const saved = Fixture.addVault("Saved", "present", 1024, false, false)
        Fixture.savePassword(saved, "pw")
        Fixture.addVault("Plain", "present", 1024, false, false)
        const window = Fixture.showImport(["/tmp/x"])
        tryVerify(() => window.checkedVaultId === saved)
        verify(!control(window, "passwordField").visible)
        verify(window.canRun)
        control(window, "vaultPickerBox").activated(1)
        tryVerify(() => control(window, "passwordField").visible)
        // The window grew with the field: its buttons are whole.
        tryVerify(() => fits(window))
        verify(!window.canRun)
        control(window, "passwordField").text = "pw"
        verify(window.canRun)
        window.close()
    }

    // Unlocks with the typed password, copies into the vault, reports and closes 1.2 s later.
    function test_copyInAndClose() {
        const id = Fixture.addVault("Box", "present", 1024, false, false)
        Fixture.writeFile(Fixture.home() + "/notes", "hello")
        const window = Fixture.showImport([Fixture.home() + "/notes"])
        tryVerify(() => control(window, "passwordField").visible)
        control(window, "passwordField").text = "pw"
        mouseClick(control(window, "copyInButton"))
        tryCompare(control(window, "resultMessage"), "text", "1 item(s) copied in.")
        verify(!control(window, "progress").visible)
        compare(control(window, "copyInButton").text, "Working…")
        verify(VaultStore.mountPoints[id] !== undefined)
        compare(Fixture.fileText(VaultStore.mountPoints[id] + "/notes"), "hello")
        verify(window.visible)
        tryVerify(() => !window.visible, 3000)
        compare(Fixture.fileText(Fixture.home() + "/notes"), "hello")
    }

    // A file that cannot be read stops the import with its name and reason; the window stays.
    function test_failureKeepsTheWindow() {
        const id = Fixture.addVault("Box", "present", 1024, false, false)
        Fixture.unlock(id)
        const window = Fixture.showImport([Fixture.home() + "/gone.txt"])
        tryVerify(() => window.canRun)
        mouseClick(control(window, "copyInButton"))
        tryCompare(control(window, "importError"), "visible", true)
        compare(control(window, "importError").text, "Could not add gone.txt: No such file or directory")
        // Said once, here: not again as an alert of the main window.
        compare(VaultStore.errorMessage, "")
        verify(fits(window))
        verify(!control(window, "progress").visible)
        compare(control(window, "copyInButton").text, "Copy In")
        verify(window.visible)
        window.close()
    }
}
