// SPDX-License-Identifier: MIT
#ifndef DOWNLOADJSON_H
#define DOWNLOADJSON_H

#include "mzupdater_export.h"

#include <QJsonDocument>
#include <QString>

/// Fetches @p address with one HTTP GET and parses the body as JSON, blocking the calling
/// thread (which must be able to run a Qt event loop) until then: up to the timeouts below,
/// and while another manifest is parsed in the process. Called from a thread of a pool, it
/// holds that pool thread as long. MzUpdater does not call it: its checks hold no thread.
/// Redirects are not followed. A transfer that stays silent for 30 s or is unfinished after
/// 5 minutes, a body over 4 MiB once decoded, or one of more than 50,000 JSON objects and
/// arrays or nested deeper than 64, is given up; so is every transfer when the application
/// object is destroyed. Returns a null document on any failure (a body that is not JSON
/// included); the reason is logged as a warning of the category "mzupdater".
MZUPDATER_EXPORT QJsonDocument downloadJSon(const QString &address);

/// As above, with the inactivity timeout in milliseconds (0: none).
MZUPDATER_EXPORT QJsonDocument downloadJSon(const QString &address, int transferTimeoutMs);

#endif // DOWNLOADJSON_H
