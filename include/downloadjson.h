// SPDX-License-Identifier: MIT
#ifndef DOWNLOADJSON_H
#define DOWNLOADJSON_H

#include "mzupdater_export.h"

#include <QJsonDocument>
#include <QString>

/// Fetches @p address with one HTTP GET on the calling thread (which must be able to run
/// a Qt event loop) and parses the body as JSON. Redirects are not followed. A transfer
/// that stays silent for 30 s or is unfinished after 5 minutes, or a body over 4 MiB once
/// decoded, is given up; so is every transfer when the application object is destroyed.
/// Returns a null document on any failure (a body that is not JSON included); the reason
/// is logged as a warning of the category "mzupdater".
MZUPDATER_EXPORT QJsonDocument downloadJSon(const QString &address);

/// As above, with the inactivity timeout in milliseconds (0: none).
MZUPDATER_EXPORT QJsonDocument downloadJSon(const QString &address, int transferTimeoutMs);

#endif // DOWNLOADJSON_H
