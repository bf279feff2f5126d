import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// A modal sheet over the main window: a fixed header, a middle that scrolls (with a visible scroll
// bar) when the window is too short for it, and a fixed footer of messages and buttons, so the
// buttons never hide. A sheet taller than the window first grows the window as far as the screen
// allows, and gives it back when it closes. It opens scrolled to the top with its first field
// focused; Return presses the focused push button or runs the default action; Escape cancels. In
// a window of its own it fills the window.
Dialog {
    id: sheet
    default property alias content: column.data
    property alias footerContent: footerColumn.data
    property string icon
    property string heading
    property string subtitle
    // The field that has the focus when the sheet opens, and what Return does.
    property Item initialFocus: null
    property var defaultAction: null
    property real sheetWidth: 400
    property bool fillsWindow: false
    readonly property int gap: 16
    readonly property real naturalHeight: headerRow.implicitHeight + column.implicitHeight
                                          + footerColumn.implicitHeight + 2 * gap + topPadding + bottomPadding
    readonly property bool scrolls: flick.contentHeight > flick.height + 0.5
    readonly property var window: parent ? parent.Window.window : null
    property real grownFrom: 0

    modal: !fillsWindow
    focus: true
    anchors.centerIn: Overlay.overlay
    width: fillsWindow ? (parent ? parent.width : sheetWidth) : Math.min(sheetWidth, parent ? parent.width - 20 : sheetWidth)
    height: fillsWindow ? (parent ? parent.height : naturalHeight) : Math.min(naturalHeight, parent ? parent.height - 20 : 10000)
    padding: 22
    closePolicy: Popup.CloseOnEscape
    header: null
    background: Rectangle {
        radius: sheet.fillsWindow ? 0 : 12
        color: Theme.of(Window.window).sheetBackground
        border.color: sheet.fillsWindow ? "transparent" : Theme.of(Window.window).separator
    }

    // Scrolls the middle so that a focused field inside it is in view.
    function ensureVisible(item) {
        for (let p = item; p; p = p.parent) {
            if (p !== column)
                continue
            const top = item.mapToItem(column, 0, 0).y
            if (top < flick.contentY)
                flick.contentY = Math.max(0, top - 4)
            else if (top + item.height > flick.contentY + flick.height)
                flick.contentY = Math.min(flick.contentHeight - flick.height, top + item.height - flick.height + 4)
            return
        }
    }
    function pressReturn() {
        const focused = window ? window.activeFocusItem : null
        if (focused && focused.visible && focused.enabled && typeof focused.clicked === "function"
                && focused.checkable === false && focused.text !== undefined) {
            focused.clicked()
            return
        }
        if (defaultAction)
            defaultAction()
    }

    onAboutToShow: {
        flick.contentY = 0
        if (!fillsWindow && window && naturalHeight + 20 > window.height) {
            const room = Screen.desktopAvailableHeight > 0 ? Screen.desktopAvailableHeight - 60 : naturalHeight + 20
            const wanted = Math.min(naturalHeight + 20, room)
            if (wanted > window.height) {
                grownFrom = window.height
                window.height = wanted
            }
        }
    }
    onOpened: {
        flick.contentY = 0
        if (initialFocus)
            initialFocus.forceActiveFocus(Qt.TabFocusReason)
    }
    onClosed: {
        if (grownFrom > 0 && window)
            window.height = Math.max(grownFrom, window.minimumHeight)
        grownFrom = 0
    }
    Connections {
        target: sheet.window
        function onActiveFocusItemChanged() {
            if (sheet.opened && sheet.window.activeFocusItem)
                sheet.ensureVisible(sheet.window.activeFocusItem)
        }
    }

    contentItem: FocusScope {
        focus: true
        implicitHeight: sheet.naturalHeight - sheet.topPadding - sheet.bottomPadding
        Keys.onReturnPressed: sheet.pressReturn()
        Keys.onEnterPressed: sheet.pressReturn()

        SheetHeader {
            id: headerRow
            width: parent.width
            icon: sheet.icon
            title: sheet.heading
            subtitle: sheet.subtitle
        }
        Flickable {
            id: flick
            y: headerRow.height + sheet.gap
            width: parent.width
            height: Math.max(0, parent.height - y - footerColumn.height - sheet.gap)
            contentWidth: width
            contentHeight: column.implicitHeight
            clip: true
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar {
                objectName: "sheetScrollBar"
                policy: sheet.scrolls ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
            }
            ColumnLayout {
                id: column
                width: parent.width - (sheet.scrolls ? 14 : 0)
                spacing: sheet.gap
            }
        }
        ColumnLayout {
            id: footerColumn
            objectName: "sheetFooter"
            width: parent.width
            y: parent.height - height
            spacing: 10
        }
    }
}
