// SPDX-License-Identifier: MIT
#ifndef ENVIRONMENT_P_H
#define ENVIRONMENT_P_H

#include <QString>

namespace MZU {
namespace Internal {

enum class Platform { Mac, Linux, Windows };

Platform currentPlatform();
/// "mac", "linux" or "win".
QString platformWord(Platform platform);
/// The maintenance tool's path for an application running from @p applicationDir.
QString maintenanceToolPathFor(const QString &applicationDir, Platform platform);

} // namespace Internal
} // namespace MZU

#endif // ENVIRONMENT_P_H
