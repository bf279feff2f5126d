import QtQuick
import QtTest
import org.hollowkeep
import Hollowkeep.Testing

// The create sheet and the maintenance sheets over the store, with stand-in tools.
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

    function init() {
        Fixture.reset()
        Fixture.refuseAttach(false)
        Fixture.respond("hdiutil-imageinfo", "", "", 0)
    }

    function field(sheet, name) { return findChild(sheet.contentItem, name) }

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

    // With the password, the tools say how far the limit can really be lowered: the caption names
    // it and the field keeps above it.
    function test_resizeNamesTheLowestLimitOnceThePasswordOpens() {
        const id = Fixture.addVault("Tables", "present", 10240, false, false)
        Fixture.script("hdiutil-resize", "echo '87031808 10737418240 4398046511104'\n")
        const view = createTemporaryObject(contentComponent, test)
        view.resizeTarget = VaultActions.vault(id)
        const sheet = findChild(view, "resizeView")
        tryVerify(() => sheet.opened)
        const caption = findChild(sheet.contentItem, "limitCaption")
        verify(caption.text.endsWith("Enter the password to see how far it can be lowered."), caption.text)
        field(sheet, "passwordField").text = "pw"
        tryVerify(() => caption.text.endsWith("or lowered down to 83 MB."), 3000, caption.text)
        compare(findChild(sheet.contentItem, "sizeField").minimumMB, 83)
    }

    function test_renameEnablesOnlyForANewNameAndAPassword() {
        const id = Fixture.addVault("Letters", "present", 1024, false, false)
        const view = createTemporaryObject(contentComponent, test)
        view.renameTarget = VaultActions.vault(id)
        const sheet = findChild(view, "renameView")
        tryVerify(() => sheet.opened)
        compare(field(sheet, "nameField").text, "Letters")
        verify(!sheet.canRun)
        field(sheet, "passwordField").text = "pw"
        verify(!sheet.canRun)
        field(sheet, "nameField").text = "Old Letters"
        verify(sheet.canRun)
        sheet.close()
        tryCompare(view, "renameTarget", null)
    }

    // The sheet opens on the stored limit as it is, with Resize off until the limit changes; a
    // change the user makes is kept above what the files take.
    function test_resizeStartsAtTheLimitAndRespectsTheContents() {
        const id = Fixture.addVault("Growing", "present", 1536, false, false)
        const odd = Fixture.addVault("Odd", "present", 4768, false, false)
        Fixture.setLockedSizeKB(2 * 1024 * 1024 + 1)
        const view = createTemporaryObject(contentComponent, test)
        view.resizeTarget = VaultActions.vault(id)
        const sheet = findChild(view, "resizeView")
        tryVerify(() => sheet.opened)
        const sizeField = findChild(sheet.contentItem, "sizeField")
        const spin = findChild(sheet.contentItem, "sizeValue")
        // 1536 MB is not whole gigabytes: the field opens in MB, on the stored limit.
        compare(sizeField.unitGB, false)
        compare(sizeField.minimumMB, 2049)
        compare(spin.value, 1536)
        compare(sheet.newSizeMB, 1536)
        field(sheet, "passwordField").text = "pw"
        verify(!sheet.canRun)
        spin.increase()
        spin.valueModified()
        compare(sheet.newSizeMB, 2049)
        verify(sheet.canRun)
        sheet.close()
        tryVerify(() => !sheet.visible)

        // Above what MB entry offers (4,096): shown as it is, and nothing proposed.
        view.resizeTarget = VaultActions.vault(odd)
        tryVerify(() => sheet.opened)
        compare(spin.value, 4768)
        compare(sheet.newSizeMB, 4768)
        field(sheet, "passwordField").text = "pw"
        verify(!sheet.canRun)
    }

    function test_settingsCaptionsAndHintRule() {
        const id = Fixture.addVault("Options", "present", 1024, false, false)
        const view = createTemporaryObject(contentComponent, test)
        view.settingsTarget = VaultActions.vault(id)
        const sheet = findChild(view, "vaultSettingsView")
        tryVerify(() => sheet.opened)
        findChild(sheet.contentItem, "autoOpen").checked = true
        verify(findChild(sheet.contentItem, "autoOpenCaption").visible)
        // Cancel leaves the vault as it was.
        sheet.close()
        tryVerify(() => !sheet.visible)
        compare(VaultActions.vault(id).autoOpenAtLaunch, false)

        Fixture.savePassword(id, "kept secret")
        view.settingsTarget = VaultActions.vault(id)
        tryVerify(() => sheet.opened)
        tryCompare(sheet, "hasSavedPassword", true)
        findChild(sheet.contentItem, "autoOpen").checked = true
        verify(!findChild(sheet.contentItem, "autoOpenCaption").visible)
        field(sheet, "hintField").text = "kept secret"
        compare(findChild(sheet.contentItem, "hintMessage").text, "Password hint cannot be the same as the password.")
        verify(!sheet.canRun)
        field(sheet, "hintField").text = "  what we keep  "
        verify(sheet.canRun)
        mouseClick(findChild(sheet.contentItem, "mainButton"))
        tryVerify(() => !sheet.visible)
        compare(VaultActions.vault(id).autoOpenAtLaunch, true)
        compare(VaultActions.vault(id).passwordHint, "what we keep")
    }

    // While the check runs the sheet shows how far it is and what it checks.
    function test_verifyShowsTheVerdictAndDone() {
        const id = Fixture.addVault("Checked", "present", 1024, false, false)
        Fixture.script("diskutil-verifyVolume", "echo 'progress: 40 Checking folders' >&2; sleep 2\n")
        Fixture.respond("diskutil-verifyVolume", "File system check exit code is 0.\n", "", 0)
        const view = createTemporaryObject(contentComponent, test)
        view.verifyTarget = VaultActions.vault(id)
        const sheet = findChild(view, "verifyVaultView")
        tryVerify(() => sheet.opened)
        compare(findChild(sheet.contentItem, "cancelButton").text, "Cancel")
        verify(!field(sheet, "operationProgress").visible)
        field(sheet, "passwordField").text = "pw"
        mouseClick(findChild(sheet.contentItem, "mainButton"))
        tryCompare(field(sheet, "progressStage"), "text", "Checking folders… 40 %")
        verify(field(sheet, "operationProgress").visible)
        compare(field(sheet, "progressBar").value, 40)
        verify(!field(sheet, "progressBar").indeterminate)
        tryCompare(sheet, "resultText", "Vault is healthy — filesystem check passed.", 10000)
        verify(!field(sheet, "operationProgress").visible)
        verify(sheet.resultOK)
        compare(findChild(sheet.contentItem, "cancelButton").text, "Done")
        verify(sheet.visible)
    }

    // A check and a reclaim stop part-way from their sheets: Cancel turns into Stop while they run,
    // the tool is asked to stop, and the sheet says it stopped without an alert.
    function test_longWorkStopsFromTheSheet() {
        const id = Fixture.addVault("Long", "present", 1024, false, false)
        const stalls = (stage) => "trap 'kill $!; echo stopped >> \"$dir/stops\"; exit 143' TERM; echo 'progress: 30 "
                                  + stage + "' >&2; sleep 30 & wait $!\n"
        Fixture.script("diskutil-verifyVolume", stalls("Checking folders"))
        Fixture.script("hdiutil-compact", stalls("Giving free space back"))
        const view = createTemporaryObject(contentComponent, test)
        const cases = [{ target: "verifyTarget", sheet: "verifyVaultView",
                         said: "The check was stopped before it finished; nothing was changed.", then: "Done" },
                       { target: "compactTarget", sheet: "passwordActionView",
                         said: "Stopped. The space given back until then stays free.", then: "Cancel" }]
        for (const c of cases) {
            view[c.target] = VaultActions.vault(id)
            const sheet = findChild(view, c.sheet)
            tryVerify(() => sheet.opened)
            const cancel = findChild(sheet.contentItem, "cancelButton")
            field(sheet, "passwordField").text = "pw"
            mouseClick(findChild(sheet.contentItem, "mainButton"))
            tryVerify(() => field(sheet, "progressStage").text.endsWith("… 30 %"))
            compare(cancel.text, "Stop")
            compare(Object.keys(VaultActions.stoppableWork), [id])
            mouseClick(cancel)
            tryCompare(sheet, "working", false, 10000)
            compare(field(sheet, "resultText").text, c.said)
            verify(field(sheet, "resultText").visible)
            compare(cancel.text, c.then)
            verify(cancel.enabled)
            verify(sheet.visible)
            compare(VaultStore.errorMessage, "")
            compare(Object.keys(VaultActions.stoppableWork).length, 0)
            sheet.close()
            tryVerify(() => !sheet.visible)
        }
        // Each tool was asked, and each stopped.
        compare(Fixture.fileText(Fixture.toolFolder() + "/stops"), "stopped\nstopped\n")
    }

    // The current password comes from the keyring; the new one must be long enough, confirmed and
    // unlike the hint; the saved password follows the change.
    function test_changePasswordRulesAndSavedPassword() {
        const id = Fixture.addVault("Diary", "present", 1024, false, false)
        Fixture.savePassword(id, "old-secret")
        const view = createTemporaryObject(contentComponent, test)
        view.changePasswordTarget = VaultActions.vault(id)
        const sheet = findChild(view, "changePasswordView")
        tryVerify(() => sheet.opened)
        tryCompare(field(sheet, "oldPasswordField"), "text", "old-secret")
        tryCompare(sheet, "hasSavedPassword", true)
        verify(!sheet.canRun)
        field(sheet, "newPasswordField").text = "longer-one"
        verify(!sheet.canRun)
        field(sheet, "confirmField").text = "longer-one"
        verify(sheet.canRun)
        field(sheet, "hintField").text = "longer-one"
        compare(field(sheet, "hintMessage").text, "Password hint cannot be the same as the password.")
        verify(!sheet.canRun)
        field(sheet, "hintField").text = "  the long one "
        verify(sheet.canRun)
        mouseClick(findChild(sheet.contentItem, "mainButton"))
        tryVerify(() => !sheet.visible)
        compare(Fixture.savedPassword(id), "longer-one")
        compare(VaultStore.vaults[0].passwordHint, "the long one")
        compare(field(sheet, "oldPasswordField").text, "")
        compare(field(sheet, "newPasswordField").text, "")
    }

    // A vault that asks for owner authentication gets its saved password only after the owner
    // agreed, with the sheet's reason; refused, the field stays as it was.
    function test_prefillAsksTheOwnerFirst() {
        const id = Fixture.addVault("Guarded", "present", 1024, true, false)
        Fixture.savePassword(id, "guarded-secret")
        Fixture.answerOwnerAuthentication(false)
        const view = createTemporaryObject(contentComponent, test)
        view.deleteTarget = VaultActions.vault(id)
        const sheet = findChild(view, "deleteVaultView")
        tryVerify(() => sheet.opened)
        tryVerify(() => Fixture.ownerReasons().length === 1)
        compare(Fixture.ownerReasons(), ["delete the vault “Guarded”"])
        wait(50)
        compare(field(sheet, "passwordField").text, "")
        sheet.close()
        tryVerify(() => !sheet.visible)

        Fixture.answerOwnerAuthentication(true)
        view.resizeTarget = VaultActions.vault(id)
        const resize = findChild(view, "resizeView")
        tryVerify(() => resize.opened)
        tryCompare(field(resize, "passwordField"), "text", "guarded-secret")
        compare(Fixture.ownerReasons(), ["resize the vault “Guarded”"])
        // Closing the sheet takes the password off the screen.
        resize.close()
        tryVerify(() => !resize.visible)
        compare(field(resize, "passwordField").text, "")
    }

    // A failed reclaim leaves the sheet open with the password as typed; the reason is the store's.
    // Reclaiming shows how far it is; a failure keeps the sheet and the typed password.
    function test_reclaimStaysOpenOnFailure() {
        const id = Fixture.addVault("Packed", "present", 1024, false, false)
        Fixture.script("hdiutil-compact", "echo 'progress: 95 Giving free space back' >&2; sleep 2\n")
        Fixture.respond("hdiutil-compact", "", "hdiutil: compact failed - Authentication error", 1)
        const view = createTemporaryObject(contentComponent, test)
        view.compactTarget = VaultActions.vault(id)
        const sheet = findChild(view, "passwordActionView")
        tryVerify(() => sheet.opened)
        compare(sheet.heading, "Reclaim Free Space")
        field(sheet, "passwordField").text = "typed"
        mouseClick(findChild(sheet.contentItem, "mainButton"))
        tryCompare(field(sheet, "progressStage"), "text", "Giving free space back… 95 %")
        verify(field(sheet, "operationProgress").visible)
        tryCompare(VaultStore, "errorMessage", "Wrong password.", 10000)
        verify(sheet.visible)
        verify(!sheet.working)
        verify(!field(sheet, "operationProgress").visible)
        compare(field(sheet, "passwordField").text, "typed")
    }
}
