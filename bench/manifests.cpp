// SPDX-License-Identifier: MIT
#include "bench.h"

#include "mzu.h"

#include <QList>

namespace Manifests {

namespace {

// Distinct, ascending, one in eight with a suffix.
QString entryVersion(int index)
{
    QString text =
        QStringLiteral("%1.%2.%3").arg(1 + index / 10000).arg(index / 100 % 100).arg(index % 100);
    if (index % 8 == 7)
        text += QLatin1String("-rc1");
    return text;
}

QByteArray releaseEntry(int i, const QByteArray &os, const QByteArray &name = "BenchApp",
    const char *news = "fixes the crash on start and speeds up the sync of large folders.")
{
    const QByteArray version = entryVersion(i).toLatin1();
    return "{\"name\":\"" + name + "\",\"os\":\"" + os + "\",\"version\":\"" + version
        + "\",\"changelog\":\"Release " + version + ": " + news + "\",\"date\":\"2024-05-01\"}";
}

QByteArray fileEntry(int i)
{
    const QByteArray version = entryVersion(i).toLatin1();
    const QByteArray n = QByteArray::number(i);
    return "{\"version\":\"" + version + "\",\"filename\":\"plugins/libplugin" + n
        + ".so\",\"location\":\"@TargetDir@/plugins\",\"url\":\"https://downloads.example.com/soft/"
        + version + "/libplugin" + n + ".so\",\"size\":" + QByteArray::number(100000 + i) + "}";
}

QByteArray settingEntry(int i)
{
    const QByteArray n = QByteArray::number(i);
    return "{\"version\":\"" + entryVersion(i).toLatin1() + "\",\"key\":\"General/option" + n
        + "\",\"type\":\"int\",\"value\":\"" + n + "\"}";
}

} // namespace

QString appName()
{
    return QStringLiteral("BenchApp");
}

QByteArray generate(Kind kind, int entries)
{
    const QByteArray os = MZU::osString().toLatin1();
    QByteArray body = "{\"name\":\"Versions.json\",\"apps\":[";
    if (kind != Kind::Releases) {
        body += "{\"name\":\"BenchApp\",\"os\":[{\"name\":\"" + os + "\",\""
            + (kind == Kind::Files ? "files" : "settings") + "\":[";
    }
    for (int i = 0; i < entries; ++i) {
        if (i > 0)
            body += ',';
        body += kind == Kind::Releases ? releaseEntry(i, os)
            : kind == Kind::Files      ? fileEntry(i)
                                       : settingEntry(i);
    }
    if (kind != Kind::Releases)
        body += "]}]}";
    return body + "]}";
}

QByteArray spreadOfSize(int bytes, int *releases)
{
    const QByteArray os = MZU::osString().toLatin1();
    QList<QByteArray> systems { os };
    for (const QByteArray other : { "win-x86_64", "mac-arm64", "linux-x86_64" }) {
        if (systems.size() < 3 && other != os)
            systems.append(other);
    }
    QList<QByteArray> names { appName().toLatin1() };
    for (int a = 1; a < 10; ++a)
        names.append("OtherApp" + QByteArray::number(a));

    QByteArray body = "{\"name\":\"Versions.json\",\"apps\":[";
    int count = 0;
    for (;; ++count) {
        const int pair = count % 30;
        // Each pair's versions are shifted, so that no two pairs share their newest release
        // and an offer from another application or platform shows. A shorter change log:
        // about 150 bytes per entry, 70,000 entries in 10 MiB.
        const QByteArray entry = releaseEntry(count / 30 + 2 * pair, systems.at(pair / 10),
            names.at(pair % 10), "fixes a crash on start, faster sync.");
        if (body.size() + 1 + entry.size() + 2 > bytes) // the largest size is the cap itself
            break;
        body += (count > 0 ? "," : "") + entry;
    }
    if (releases)
        *releases = count;
    return body + "]}";
}

} // namespace Manifests
