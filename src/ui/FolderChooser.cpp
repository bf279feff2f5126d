#include "FolderChooser.h"

#include "platform/Portal.h"
#include "store/VaultStore.h"

#include <QCoro/QCoroSignal>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QJSEngine>
#include <QWindow>

#include <stdexcept>

namespace {

const QString fileChooser = QStringLiteral("org.freedesktop.portal.FileChooser");

QString parentWindowHandle()
{
    QWindow *window = QGuiApplication::focusWindow();
    if (!window)
        return {};
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        return QStringLiteral("x11:") + QString::number(window->winId(), 16);
    return {};
}

} // namespace

FolderChooser &FolderChooser::shared()
{
    static FolderChooser *instance = new FolderChooser;
    return *instance;
}

FolderChooser *FolderChooser::create(QQmlEngine *, QJSEngine *)
{
    QJSEngine::setObjectOwnership(&shared(), QJSEngine::CppOwnership);
    return &shared();
}

bool FolderChooser::portalAllowed()
{
    return qEnvironmentVariable("HOLLOWKEEP_FILE_CHOOSER") != QLatin1String("dialog");
}

std::optional<QUrl> FolderChooser::portalResult(uint response, const QVariantMap &results)
{
    const QStringList uris = results.value(QStringLiteral("uris")).toStringList();
    if (response != 0 || uris.isEmpty())
        return std::nullopt;
    const QUrl url(uris.first());
    return url.isLocalFile() ? std::optional<QUrl>(url) : std::nullopt;
}

void FolderChooser::choose(const QString &purpose, const QString &title, const QString &acceptLabel,
                           const QUrl &startFolder)
{
    // One chooser at a time: a second click while one is open does nothing.
    if (m_busy)
        return;
    m_busy = true;
    chooseAndReport(purpose, title, acceptLabel, startFolder);
}

QCoro::Task<void> FolderChooser::chooseAndReport(QString purpose, QString title, QString acceptLabel, QUrl start)
{
    std::optional<QUrl> folder;
    try {
        folder = co_await ask(title, acceptLabel, start);
    } catch (const std::exception &error) {
        VaultStore::shared().setErrorMessage(QStringLiteral("Could not open a file chooser: ") +
                                             QString::fromUtf8(error.what()));
    }
    m_busy = false;
    if (folder)
        Q_EMIT chosen(purpose, *folder);
}

QCoro::Task<std::optional<QUrl>> FolderChooser::ask(QString title, QString acceptLabel, QUrl startFolder)
{
    if (portalAllowed()) {
        const std::optional<std::optional<QUrl>> answer = co_await askPortal(title, acceptLabel, startFolder);
        if (answer)
            co_return *answer;
    }
    co_return co_await askDialog(title, acceptLabel, startFolder);
}

// nullopt when there is no portal to ask; otherwise the portal's answer.
QCoro::Task<std::optional<std::optional<QUrl>>> FolderChooser::askPortal(QString title, QString acceptLabel,
                                                                        QUrl startFolder)
{
    QVariantMap options{{QStringLiteral("accept_label"), acceptLabel},
                        {QStringLiteral("modal"), true},
                        {QStringLiteral("directory"), true}};
    if (startFolder.isLocalFile()) {
        // Before version 4 the portal drops the folder to open on, and the chooser shows recent
        // files: Qt's dialog, the desktop's own where a platform theme provides one, opens there.
        const uint version = co_await Portal::interfaceVersion(fileChooser);
        if (version < 4)
            co_return std::nullopt;
        options.insert(QStringLiteral("current_folder"), QFile::encodeName(startFolder.toLocalFile()) + '\0');
    }
    // A portal without a file chooser (or too old for folders) answers nothing: Qt's dialog instead.
    const QVariantList arguments{parentWindowHandle(), title, options};
    const std::optional<Portal::Response> response =
        co_await Portal::request(fileChooser, QStringLiteral("OpenFile"), arguments);
    if (!response)
        co_return std::nullopt;
    co_return std::optional<std::optional<QUrl>>(portalResult(response->code, response->results));
}

QCoro::Task<std::optional<QUrl>> FolderChooser::askDialog(QString title, QString acceptLabel, QUrl startFolder)
{
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        throw std::runtime_error("no dialog can be shown here");
    QPointer<QFileDialog> dialog = new QFileDialog(nullptr, title,
                                                   startFolder.isLocalFile() ? startFolder.toLocalFile()
                                                                             : QDir::homePath());
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    dialog->setLabelText(QFileDialog::Accept, acceptLabel);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->open();
    Q_EMIT dialogShown(dialog);
    const int result = co_await qCoro(dialog.data(), &QDialog::finished);
    if (!dialog)
        co_return std::nullopt;
    dialog->deleteLater();
    if (result != QDialog::Accepted || dialog->selectedUrls().isEmpty())
        co_return std::nullopt;
    co_return dialog->selectedUrls().first();
}

