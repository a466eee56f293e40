// SPDX-License-Identifier: MIT
#include <downloadjson.h>
#include <mzu.h>
#include <mzupdater.h>

#include <QCoreApplication>
#include <QJsonDocument>

static_assert(QT_VERSION_MAJOR == EXPECTED_QT_MAJOR, "the package brought the wrong Qt");

// Links every public entry point, so that a missing export fails the link.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    MzUpdater updater(QStringLiteral("1.0.0"));
    const QJsonDocument manifest = QJsonDocument::fromJson(R"({"apps": [
        {"name": "consumer", "os": ")"
        + MZU::osString().toUtf8() + R"(", "version": "1.1.0"}]})");
    MZU::Version offered;
    QString changelog;
    const bool found = MZU::updateVersion(MZU::getApplications(manifest),
        QStringLiteral("consumer"), MZU::Version(QStringLiteral("1.0.0")), offered, changelog);
    const bool ok = found && offered.toString() == QLatin1String("1.1.0")
        && MZU::getFileUpdates(manifest, QStringLiteral("consumer"), MZU::Version(), offered)
               .isEmpty()
        && MZU::getSettingUpdates(manifest, QStringLiteral("consumer"), MZU::Version(), offered)
               .isEmpty()
        && !MZU::maintenanceToolPath(&app).isEmpty() && !MZU::UpdateFile().isValid()
        && downloadJSon(QString()).isNull();
    return ok ? 0 : 1;
}
