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

    function fillCreate(sheet, name, hint) {
        sheet.directory = "file://" + Fixture.home()
        findChild(sheet.contentItem, "nameField").text = name
        findChild(sheet.contentItem, "passwordField").text = "correct horse"
        findChild(sheet.contentItem, "confirmField").text = "correct horse"
        findChild(sheet.contentItem, "hintField").text = hint
        mouseClick(findChild(sheet.contentItem, "createButton"))
    }

    // The sheet's values reach the store trimmed; in GB by default, in MB after the switch.
    function test_createMakesAndListsTheVault() {
        const view = createTemporaryObject(contentComponent, test)
        view.showingCreate = true
        const sheet = findChild(view, "createVaultView")
        tryVerify(() => sheet.opened)
        compare(findChild(sheet.contentItem, "sizeValue").value, 10)
        mouseClick(findChild(sheet.contentItem, "unit_MB"))
        compare(findChild(sheet.contentItem, "sizeValue").value, 4096)
        fillCreate(sheet, " Private ", "  pets  ")
        tryVerify(() => !sheet.visible)
        compare(view.showingCreate, false)
        const vault = VaultStore.vaults[0]
        compare([vault.name, vault.bundlePath, vault.maxSizeMB, vault.passwordHint],
                ["Private", Fixture.home() + "/Private.nosync", 4096, "pets"])

        // The same name again: the store's message, and the sheet stays open as typed.
        view.showingCreate = true
        tryVerify(() => sheet.opened)
        fillCreate(sheet, "Private", "")
        tryCompare(VaultStore, "errorMessage", "A vault named “Private” already exists in that folder.")
        verify(sheet.visible)
        compare(findChild(sheet.contentItem, "nameField").text, "Private")
        compare(VaultStore.vaults.length, 1)
    }
}
