#include "Engine.h"

#include "Bundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace VaultImage {

using Tool::Error;

namespace {

const DaemonEngine daemonEngine;
const FallbackEngine fallbackEngine;

} // namespace

const Engine &Engine::chosen()
{
    if (qEnvironmentVariable("HOLLOWKEEP_VOLUME_ENGINE") == FallbackEngine::volumeProgram)
        return fallbackEngine;
    return daemonEngine;
}

const Engine *Engine::ofLayerType(const QString &fsType)
{
    for (const Engine *engine : {static_cast<const Engine *>(&daemonEngine), static_cast<const Engine *>(&fallbackEngine)}) {
        if (fsType == QLatin1String("fuse.") + engine->layerProgram())
            return engine;
    }
    return nullptr;
}

const Engine &Engine::serving(const QString &layer)
{
    if (daemonEngine.layerServer(layer).pid != 0)
        return daemonEngine;
    return fallbackEngine;
}

LayerRecovery Engine::openLayer(const QString &bundle, const QByteArray &password, const QString &at,
                                bool readOnly) const
{
    if (password.isEmpty() || password.contains('\n') || password.contains('\r'))
        throw Error{QStringLiteral("Authentication error"), Tool::statusAuthentication};
    makePrivateFolder(at);
    const LayerRecovery prepared = prepareLayer(bundle, password);
    QStringList arguments = layerOptions();
    if (readOnly)
        arguments << QStringLiteral("-ro");
    arguments << cipherDirectory(bundle) << at;
    const Tool::HelperResult result =
        Tool::runHelper(layerProgramPath(), arguments, Tool::keepSecret(password + '\n'), true);
    if (result.status != 0)
        QDir().rmdir(at);
    const LayerRecovery recovered = resultOf(result);
    return {prepared.replayed + recovered.replayed, prepared.cleared + recovered.cleared};
}

MountTable::Process Engine::layerServer(const QString &at) const
{
    return MountTable::findDaemon(layerProgram(), at);
}

QString Engine::daemonPath()
{
    const QString beside = QCoreApplication::applicationDirPath() + QLatin1Char('/') + DaemonEngine::program;
    return QFileInfo(beside).isExecutable() ? beside : Tool::helper(DaemonEngine::program);
}

LayerRecovery Engine::resultOf(const Tool::HelperResult &result)
{
    if (result.status == 12)
        throw Error{QStringLiteral("Authentication error"), Tool::statusAuthentication};
    if (result.status != 0)
        throw Error{QStringLiteral("cannot open the encrypted layer: ") + Tool::lastLines(result.output)};
    static const QRegularExpression line(QStringLiteral("journal: replayed (\\d+), blocks \\d+, cleared (\\d+)"));
    const QRegularExpressionMatch match = line.match(QString::fromUtf8(result.output));
    return match.hasMatch() ? LayerRecovery{match.captured(1).toInt(), match.captured(2).toInt()} : LayerRecovery();
}

} // namespace VaultImage
