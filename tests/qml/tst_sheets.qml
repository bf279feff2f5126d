import QtQuick
import QtTest
import org.hollowkeep
import Hollowkeep.Testing

TestCase {
    id: test
    name: "Sheets"
    width: 560
    height: 760
    visible: true
    when: windowShown

    Component {
        id: contentComponent
        ContentView { width: 560; height: 760 }
    }

    function init() { Fixture.reset(); Fixture.refuseAttach(false) }

    function type(field, text) {
        field.forceActiveFocus()
        field.selectAll()
        keyClick(Qt.Key_Delete)
        for (const character of text)
            keySequence(character === " " ? "Space" : character)
    }

    function test_createValidationOrder() {
        const view = createTemporaryObject(contentComponent, test)
        view.showingCreate = true
        const sheet = findChild(view, "createVaultView")
        tryVerify(() => sheet.opened)
        const name = findChild(sheet.contentItem, "nameField")
        const password = findChild(sheet.contentItem, "passwordField")
        const confirm = findChild(sheet.contentItem, "confirmField")
        const hint = findChild(sheet.contentItem, "hintField")
        const button = findChild(sheet.contentItem, "createButton")
        // An empty name: no message whatever else is typed.
        password.text = "abc"
        compare(sheet.validationMessage, "")
        verify(!button.enabled)
        name.text = "a/b"
        compare(sheet.validationMessage, "The name can’t contain “/” or “:”.")
        name.text = "  Private  "
        compare(sheet.validationMessage, "Password must be at least 6 characters.")
        password.text = "correct horse"
        confirm.text = "correct hors"
        compare(sheet.validationMessage, "Passwords don’t match.")
        confirm.text = "correct horse"
        hint.text = "correct horse "
        compare(sheet.validationMessage, "Password hint cannot be the same as the password.")
        hint.text = "first pet"
        compare(sheet.validationMessage, "")
        verify(button.enabled)
        tryCompare(button, "opacity", 1)
    }

    function test_sizeField() {
        const view = createTemporaryObject(contentComponent, test)
        view.showingCreate = true
        const sheet = findChild(view, "createVaultView")
        tryVerify(() => sheet.opened)
        // The proposed 10240 MB shows as 10 GB.
        compare(sheet.maxSizeMB, 10240)
        const spin = findChild(sheet.contentItem, "sizeValue")
        compare(spin.value, 10)
        compare(spin.from, 1)
        compare(spin.to, 4000)
        mouseClick(findChild(sheet.contentItem, "unit_MB"))
        compare(spin.value, 4096)
        compare(sheet.maxSizeMB, 4096)
        compare(spin.from, 16)
        compare(spin.stepSize, 16)
        mouseClick(findChild(sheet.contentItem, "unit_GB"))
        compare(spin.value, 4)
        compare(sheet.maxSizeMB, 4096)
    }

    function test_createMakesAndListsTheVault() {
        const view = createTemporaryObject(contentComponent, test)
        view.showingCreate = true
        const sheet = findChild(view, "createVaultView")
        tryVerify(() => sheet.opened)
        sheet.directory = "file://" + Fixture.home()
        findChild(sheet.contentItem, "nameField").text = " Private "
        findChild(sheet.contentItem, "passwordField").text = "correct horse"
        findChild(sheet.contentItem, "confirmField").text = "correct horse"
        findChild(sheet.contentItem, "hintField").text = "  pets  "
        mouseClick(findChild(sheet.contentItem, "createButton"))
        tryVerify(() => !sheet.visible)
        compare(view.showingCreate, false)
        compare(VaultStore.vaults.length, 1)
        const vault = VaultStore.vaults[0]
        compare(vault.name, "Private")
        compare(vault.bundlePath, Fixture.home() + "/Private.nosync")
        compare(vault.maxSizeMB, 10240)
        compare(vault.passwordHint, "pets")
        verify(vault.excludedFromCloud)
        compare(Fixture.savedPassword(vault.id), "correct horse")

        // The same name again: the store's message, and the sheet stays open as typed.
        view.showingCreate = true
        tryVerify(() => sheet.opened)
        sheet.directory = "file://" + Fixture.home()
        findChild(sheet.contentItem, "nameField").text = "Private"
        findChild(sheet.contentItem, "passwordField").text = "correct horse"
        findChild(sheet.contentItem, "confirmField").text = "correct horse"
        mouseClick(findChild(sheet.contentItem, "createButton"))
        tryCompare(VaultStore, "errorMessage", "A vault named “Private” already exists in that folder.")
        verify(sheet.visible)
        compare(findChild(sheet.contentItem, "nameField").text, "Private")
        compare(VaultStore.vaults.length, 1)
    }

    function test_unlockSheet() {
        const id = Fixture.addVault("Typed", "present", 1024, false, false)
        const view = createTemporaryObject(contentComponent, test)
        VaultActions.unlock(id)
        const sheet = findChild(view, "unlockView")
        tryVerify(() => sheet.opened)
        compare(sheet.vault.name, "Typed")
        const field = findChild(sheet.contentItem, "passwordField")
        verify(!findChild(sheet.contentItem, "unlockButton").enabled)
        // Return with an empty password does nothing.
        field.forceActiveFocus()
        keyClick(Qt.Key_Return)
        verify(sheet.visible)
        // A refused password keeps the sheet open with the password as typed.
        Fixture.refuseAttach(true)
        field.text = "wrong-one"
        keyClick(Qt.Key_Return)
        tryCompare(VaultStore, "errorMessage", "Wrong password for “Typed”.")
        verify(sheet.visible)
        compare(field.text, "wrong-one")
        // The error alert is dismissed before trying again.
        const alert = findChild(view, "errorAlert")
        tryVerify(() => alert.opened)
        alert.close()
        tryCompare(VaultStore, "errorMessage", "")
        field.forceActiveFocus()
        // Return in the field unlocks.
        Fixture.refuseAttach(false)
        field.text = "right-one"
        keyClick(Qt.Key_Return)
        tryVerify(() => !sheet.visible)
        verify(VaultStore.mountPoints[id] !== undefined)
        compare(VaultStore.passwordPromptVault, undefined)
        compare(field.text, "")
    }
}
