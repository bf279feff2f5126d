import QtQuick
import QtQuick.Controls
import QtTest
import org.hollowkeep
import Hollowkeep.Testing

// The settings view over the real preferences file, autostart folder and a local update server.
TestCase {
    id: test
    name: "Settings"
    width: 480
    height: 1100
    visible: true
    when: windowShown

    Component {
        id: viewComponent
        SettingsView { width: 436 }
    }

    property var view
    function init() {
        Fixture.forgetPreferences()
        SettingsActions.setLaunchAtLogin(false)
        view = createTemporaryObject(viewComponent, test)
        SettingsActions.reload()
    }
    function control(name) { return findChild(view, name) }
    function picked(name) { return control(name + "Box").currentText }

    function test_freshPreferencesShowTheDefaults() {
        compare(picked("designPicker"), "Classic")
        for (const name of ["autoLockEnabled", "lockOnScreenLock", "lockOnSleep", "lockOnQuit", "panicEnabled",
                            "menuBarIcon", "updateCheckEnabled"])
            verify(control(name).checked, name)
        compare(picked("autoLockMinutes"), "15 minutes")
        compare(view.recorder.text, "Ctrl+Alt+Super+L")
        compare(picked("menuBarPanel"), "Compact panel")
        verify(!control("hideDockIcon").checked)
        verify(!control("trayOnlyCaption").visible)
        verify(!control("launchAtLogin").checked)
        compare(control("autoLockMinutes").box.count, 5)
    }

    function test_trayOnlyKeepsTheTrayItem() {
        Preferences.menuBarIcon = false
        mouseClick(control("hideDockIcon"))
        verify(Preferences.hideDockIcon)
        verify(Preferences.menuBarIcon)
        verify(!control("menuBarIcon").enabled)
        verify(control("trayOnlyCaption").visible)
        mouseClick(control("hideDockIcon"))
        verify(!Preferences.hideDockIcon)
        verify(control("menuBarIcon").enabled)
        verify(Preferences.menuBarIcon)
    }

    function test_dependentControls() {
        Preferences.autoLockMinutes = 30
        mouseClick(control("autoLockEnabled"))
        verify(!Preferences.autoLockEnabled)
        verify(!control("autoLockMinutes").enabled)
        compare(Preferences.autoLockMinutes, 30)
        compare(picked("autoLockMinutes"), "30 minutes")
        mouseClick(control("panicEnabled"))
        verify(!Preferences.panicEnabled)
        verify(!view.recorder.enabled)
        mouseClick(control("menuBarIcon"))
        verify(!control("menuBarPanel").enabled)
    }

    function test_recordingAShortcut() {
        mouseClick(view.recorder)
        verify(view.recorder.recording)
        compare(view.recorder.text, "Press keys…")
        keyClick(Qt.Key_L)
        keyClick(Qt.Key_L, Qt.ShiftModifier)
        verify(view.recorder.recording)
        compare(Fixture.storedPreference("panicKeyCode"), 37)
        keyClick(Qt.Key_K, Qt.ControlModifier | Qt.AltModifier)
        verify(!view.recorder.recording)
        compare(Fixture.storedPreference("panicKeyCode"), 40)
        compare(Fixture.storedPreference("panicModifiers"), 6144)
        compare(Fixture.storedPreference("panicKeyLabel"), "K")
        compare(view.recorder.text, "Ctrl+Alt+K")

        // Escape ends recording and changes nothing; it does not reach the window either.
        mouseClick(view.recorder)
        keyClick(Qt.Key_Escape)
        verify(!view.recorder.recording)
        compare(view.recorder.text, "Ctrl+Alt+K")
        compare(Fixture.storedPreference("panicKeyCode"), 40)
    }

    function test_launchAtLogin() {
        const entry = Fixture.autostartEntry()
        mouseClick(control("launchAtLogin"))
        verify(SettingsActions.launchAtLogin)
        verify(Fixture.fileText(entry).includes("Exec="))
        mouseClick(control("launchAtLogin"))
        verify(!SettingsActions.launchAtLogin)
        compare(Fixture.fileText(entry), "")

        // A file where the autostart folder belongs: the message, and the switch shows the truth.
        const folder = entry.substring(0, entry.lastIndexOf("/"))
        Fixture.removePath(folder)
        Fixture.writeFile(folder, "in the way")
        mouseClick(control("launchAtLogin"))
        verify(!control("launchAtLogin").checked)
        verify(control("loginItemError").visible)
        verify(control("loginItemError").text.startsWith("Could not update the login item: "))
        Fixture.removePath(folder)
        SettingsActions.reload()
        compare(control("loginItemError").text, "")
    }

    function test_checkNow_data() {
        return [
            { tag: "up to date", status: "200 OK", body: '{"version": "' + Changelog.version + '"}',
              result: "You're up to date — " + Changelog.version + " is the latest version.", alerts: 0 },
            { tag: "newer", status: "200 OK", body: '{"version": "99.0"}', result: "Version 99.0 is available.", alerts: 1 },
            { tag: "failure", status: "500 Internal Server Error", body: "oops", result: "Could not check: ", alerts: 0 }
        ]
    }
    function test_checkNow(data) {
        Fixture.serveVersion(data.status, data.body)
        const before = Fixture.updateAlerts().length
        const button = control("checkNowButton")
        mouseClick(button)
        tryVerify(() => !SettingsActions.checkingUpdate, 20000)
        verify(control("updateText").text.startsWith(data.result), control("updateText").text)
        compare(Fixture.updateAlerts().length - before, data.alerts)
        verify(button.enabled)
        compare(button.text, "Check Now")
    }
}
