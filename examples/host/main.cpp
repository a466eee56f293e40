// SPDX-License-Identifier: MIT
// mzupdater-host: the smallest application that asks mzupdater whether a newer release of
// itself is published, and what the move to it involves. Copy it into your application
// and replace the printing with your own user interface.
//
//   mzupdater-host [VERSION]
//
// VERSION is the release this copy runs (default 1.0.0). The manifest address comes from
// "URL/Versions" in maintenancetool.ini beside the executable, as the library reads it.
// Files its manifest's own server has are fetched and checked against their entries.
// Exit status: 0 when the manifest was checked, 1 when the check failed (the reason is
// printed).

#include <mzu.h>
#include <mzupdater.h>

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTextStream>

#include <memory>

namespace {

QTextStream out(stdout);

void printIndented(const QString &text)
{
    for (const QString &line : text.split(QLatin1Char('\n')))
        out << "    " << line << '\n';
}

// Fetches the files that the manifest's own server has (scripts/demo.sh serves convert-db;
// the sample's other files are published nowhere) and holds each to its entry's "size" and
// "sha256"; exits when done.
void fetchFiles(const QList<MZU::UpdateFile> &files, const QUrl &manifest)
{
    auto *network = new QNetworkAccessManager(QCoreApplication::instance());
    const auto pending = std::make_shared<int>(0);
    for (const MZU::UpdateFile &file : files) {
        const QUrl url(file.values.value("url").toString());
        if (url.host() != manifest.host())
            continue;
        ++*pending;
        QNetworkReply *reply = network->get(QNetworkRequest(url));
        QObject::connect(reply, &QNetworkReply::finished, [=] {
            // A file of some size is better hashed off the GUI thread; these are small.
            QString why = reply->errorString();
            const bool good =
                reply->error() == QNetworkReply::NoError && MZU::fileMatches(file, reply, &why);
            out << "  fetched " << url.toString() << ": "
                << (good ? QStringLiteral("matches its entry") : "refused, " + why) << '\n';
            reply->deleteLater();
            if (--*pending == 0)
                QCoreApplication::exit(0);
        });
    }
    if (*pending == 0)
        QCoreApplication::exit(0);
}

// What the host acts on: the files to fetch and the settings to change, merged over the
// releases passed: the newest entry of each.
void printMove(const MZU::Offer &offer, const QString &running)
{
    out << "\nFiles to fetch for " << running << " -> " << offer.version.toString() << " ("
        << offer.files.size() << ", "
        << (offer.downloadSize < 0 ? QStringLiteral("size unknown")
                                   : QStringLiteral("%1 bytes").arg(offer.downloadSize))
        << "):\n";
    for (const MZU::UpdateFile &file : offer.files) {
        const QVariantHash &values = file.values;
        out << "  [" << file.version.toString() << "] " << values.value("location").toString()
            << '/' << values.value("filename").toString() << "\n      from "
            << values.value("url").toString() << '\n';
        // Members the library does not read are the manifest author's, for the host.
        for (auto it = values.cbegin(); it != values.cend(); ++it) {
            static const QStringList known { "version", "filename", "location", "url" };
            if (!known.contains(it.key()))
                out << "      " << it.key() << ": " << it.value().toString() << '\n';
        }
    }
    out << "\nSettings to change (" << offer.settings.size() << "):\n";
    for (const MZU::SettingValue &setting : offer.settings)
        out << "  [" << setting.version.toString() << "] " << setting.key << " (" << setting.type
            << ") = " << setting.value << '\n';
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The manifest lists releases under the application's name.
    QCoreApplication::setApplicationName(QStringLiteral("DemoApp"));
    const QString running = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("1.0.0");
    out << QCoreApplication::applicationName() << ' ' << running << " on " << MZU::osString()
        << ": checking for updates\n";
    out.flush();

    MzUpdater updater(running);
    QObject::connect(&updater, &MzUpdater::checkFailed, [](const QString &reason) {
        out << "The check failed: " << reason << '\n';
        QCoreApplication::exit(1);
    });
    // The offer is ready when checked() arrives: a null version means up to date.
    QObject::connect(&updater, &MzUpdater::checked, [&] {
        const MZU::Offer offer = updater.offer();
        if (offer.version.isNull()) {
            out << "Up to date: no release newer than " << running << " is offered.\n";
            QCoreApplication::exit(0);
            return;
        }
        out << "Update available: " << offer.version.toString()
            << (offer.critical ? " (critical)" : "") << "\n\nChange log:\n";
        printIndented(offer.changelog.isEmpty() ? QStringLiteral("(none)") : offer.changelog);
        printMove(offer, running);
        out << "\nFiles checked against the manifest:\n";
        fetchFiles(offer.files, QUrl(offer.address));
    });

    updater.checkUpdates();
    const int status = app.exec();
    out.flush();
    return status;
}
