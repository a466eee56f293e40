// SPDX-License-Identifier: MIT
#include "environment_p.h"
#include "mzu.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSysInfo>

namespace MZU {
namespace Internal {

Platform currentPlatform()
{
#if defined(Q_OS_MACOS)
    return Platform::Mac;
#elif defined(Q_OS_WIN)
    return Platform::Windows;
#else
    return Platform::Linux;
#endif
}

QString platformWord(Platform platform)
{
    switch (platform) {
    case Platform::Mac:
        return QStringLiteral("mac");
    case Platform::Windows:
        return QStringLiteral("win");
    case Platform::Linux:
        break;
    }
    return QStringLiteral("linux");
}

QString maintenanceToolPathFor(const QString &applicationDir, Platform platform)
{
    QString candidate;
    switch (platform) {
    case Platform::Mac:
        // Inside a bundle the executable sits in Contents/MacOS; the tool's bundle is then
        // beside the application's bundle.
        candidate = applicationDir
            + (applicationDir.endsWith(QLatin1String("MacOS"))
                    ? QLatin1String("/../../../MaintenanceTool.app/Contents/MacOS/MaintenanceTool")
                    : QLatin1String("/MaintenanceTool.app/Contents/MacOS/MaintenanceTool"));
        break;
    case Platform::Windows:
        candidate = applicationDir + QLatin1String("/MaintenanceTool.exe");
        break;
    case Platform::Linux:
        candidate = applicationDir + QLatin1String("/MaintenanceTool");
        break;
    }
    const QFileInfo info(candidate);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
}

} // namespace Internal

QString osString()
{
    return Internal::platformWord(Internal::currentPlatform()) + QLatin1Char('-')
        + QSysInfo::buildCpuArchitecture();
}

QString maintenanceToolPath(QCoreApplication *)
{
    return Internal::maintenanceToolPathFor(
        QCoreApplication::applicationDirPath(), Internal::currentPlatform());
}

} // namespace MZU
