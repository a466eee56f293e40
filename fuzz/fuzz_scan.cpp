// Manifests read straight from their text. Whatever the text, a reading vouched for must be
// exactly what the document gives: the text parses, is a manifest, and resolves to the same
// version and change log.
#include "fuzz.h"

#include "manifest/manifest_p.h"

#include <QJsonArray>
#include <QJsonObject>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), int(size));
    QJsonParseError error;
    const QJsonDocument manifest = QJsonDocument::fromJson(text, &error);
    QStringList names { QStringLiteral("A"), QString() };
    for (const QJsonValue &entry : manifest.object().value(QLatin1String("apps")).toArray()) {
        const QString name = entry.toObject().value(QLatin1String("name")).toString();
        if (names.size() < 5 && !names.contains(name))
            names.append(name);
    }
    for (const QString &os : Fuzz::osNames()) {
        for (const QString &name : names) {
            for (const char *current : { "0.0.0", "1.0.0", "1.2.3-rc1" }) {
                MZU::Version readVersion;
                QString readLog;
                const std::optional<bool> read = MZU::Internal::resolveUpdate(
                    text, os, name, MZU::Version(QLatin1String(current)), readVersion, readLog);
                if (!read)
                    continue;
                FUZZ_CHECK(error.error == QJsonParseError::NoError);
                FUZZ_CHECK(MZU::Internal::isManifest(manifest));
                MZU::Version newVersion;
                QString changelog;
                FUZZ_CHECK(*read
                    == MZU::Internal::resolveUpdate(manifest, os, name,
                        MZU::Version(QLatin1String(current)), newVersion, changelog));
                FUZZ_CHECK(readVersion == newVersion && readLog == changelog
                    && readLog.isNull() == changelog.isNull());
            }
        }
    }
    return 0;
}
