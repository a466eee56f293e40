// SPDX-License-Identifier: MIT
// The update dialog of mzupdater-widgets, under the offscreen platform, shown by real checks
// against the loopback server. A translator brackets every text of the dialog's context, so a
// text that bypasses tr() shows up bare.
#include "httpserver.h"
#include "manifestbuilder.h"
#include "mzupdatedialog.h"
#include "mzupdater.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>

namespace {

QJsonObject release(const QString &version, const QJsonValue &changelog = QJsonValue::Undefined,
    bool critical = false)
{
    return ManifestBuilder::release("DialogApp", MZU::osString(), version,
        { { "changelog", changelog }, { "critical", critical } });
}

// The application entry, before the releases, with files of 2.0.0 of these sizes (null: none).
QJsonObject filesOf(const QJsonArray &sizes)
{
    QJsonArray files;
    for (const QJsonValue &size : sizes)
        files.append(
            ManifestBuilder::file("2.0.0", QString::number(files.size()), { { "size", size } }));
    return ManifestBuilder::application(
        "DialogApp", QJsonArray { ManifestBuilder::system(MZU::osString(), files) });
}

struct Brackets : QTranslator
{
    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *text, const char *, int) const override
    {
        return qstrcmp(context, "MzUpdateDialog") ? QString() : '[' + QString(text) + ']';
    }
};

// No display needed: the offscreen platform, unless one is asked for.
[[maybe_unused]] const bool offscreen =
    qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || qputenv("QT_QPA_PLATFORM", "offscreen");

} // namespace

class tst_Dialog : public QObject
{
    Q_OBJECT

    // A new dialog on an updater of the running version @p current, with no settings.
    void make(const QString &current = "1.0.0")
    {
        QSettings().remove("mzupdater");
        updater = std::make_unique<MzUpdater>(current);
        updater->setManifestAddress(server.url("/Versions.json"));
        dialog = std::make_unique<MzUpdateDialog>(updater.get());
    }
    // One check of @p apps; true when it showed the dialog.
    bool check(const QJsonArray &apps)
    {
        server.setResponse(
            "/Versions.json", HttpServer::Response::json(ManifestBuilder::manifest(apps).toJson()));
        QSignalSpy checked(updater.get(), &MzUpdater::checked);
        updater->checkUpdates();
        return checked.wait(10000) && dialog->isVisible();
    }

    HttpServer server;
    QTemporaryDir settingsHome;
    Brackets brackets;
    std::unique_ptr<MzUpdater> updater;
    std::unique_ptr<MzUpdateDialog> dialog;

private Q_SLOTS:
    void initTestCase()
    {
        // A settings file of this run's own: another run at the same time must not clear it.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsHome.path());
        QCoreApplication::setApplicationName("DialogApp");
        QVERIFY(QCoreApplication::installTranslator(&brackets));
    }

    // The rows share one dialog, each showing it again after the button the row before chose:
    // each must undo what the one before showed.
    void texts_data()
    {
        make();
        QTest::addColumn<QJsonArray>("apps");
        QTest::addColumn<QStringList>("texts"); // the change log as the browser's plain text
        QTest::addColumn<QString>("click"); // the button chosen then
        const QStringList all { "MzUpdateDialog: [Software Update]",
            "heading: [A new version of DialogApp is available]",
            "versions: [DialogApp 2.0.0 is available; you have 1.0.0. Would you like to install "
            "it now?]",
            "notesTitle: [Release notes:]", "automatic: [Check for updates automatically]",
            "install: [Install]", "later: [Remind me later]" };
        const QString skip = "skip: [Skip this version]";
        QTest::newRow("critical: no skipping, and why; no files, no change log")
            << QJsonArray { release("2.0.0", QJsonValue::Undefined, true) }
            << all
                + QStringList { "critical: [This is a critical update: its publisher asks "
                                "everyone to install it, so it cannot be skipped.]",
                      "changelog: [No release notes were published for this version.]" }
            << "install";
        // Each release's change log is read as it is: a plain one among HTML ones keeps its
        // line breaks.
        QTest::newRow("files of known size, HTML and plain")
            << QJsonArray { filesOf({ 1000000, 572864 }), release("1.5.0", "Smaller.\nFaster."),
                   release("2.0.0", "<b>Dark</b> mode.") }
            << all
                + QStringList { skip,
                      "size: [Download size: " + QLocale().formattedDataSize(1572864) + "]",
                      "changelog: [Version 2.0.0]\nDark mode.\n[Version 1.5.0]\nSmaller.\nFaster." }
            << "later";
        // Qt::mightBeRichText() reads a release's first line: no tag there, no HTML.
        QTest::newRow("a file without a size, plain")
            << QJsonArray { filesOf({ 1000000, QJsonValue() }),
                   release("1.5.0", "Smaller.\n\nFaster."),
                   release("2.0.0", "When n < 10 & m > 2.\n<b>Kept</b> as written.") }
            << all
                + QStringList { skip,
                      "changelog: 2.0.0:\nWhen n < 10 & m > 2.\n<b>Kept</b> as written.\n1.5.0:\n"
                      "Smaller.\n\nFaster." }
            << "skip";
    }
    void texts()
    {
        QFETCH(QJsonArray, apps);
        QFETCH(QStringList, texts);
        QFETCH(QString, click);
        QVERIFY(check(apps));
        QStringList seen;
        const QWidgetList widgets = dialog->findChildren<QWidget *>() << dialog.get();
        for (const QWidget *widget : widgets) {
            QString text; // the change log's is its plainText
            for (const char *name : { "windowTitle", "text", "plainText" })
                text += widget->property(name).toString();
            if (!widget->isHidden() && !text.isEmpty())
                seen << widget->objectName() + ": " + text;
        }
        seen.sort();
        texts.sort();
        QCOMPARE(seen, texts);

        // Each button closes the dialog; "Install", the default, hands the offer shown to the host.
        QVERIFY(dialog->findChild<QPushButton *>("install")->isDefault());
        QSignalSpy requested(dialog.get(), &MzUpdateDialog::installRequested);
        dialog->findChild<QPushButton *>(click)->click();
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), int(click == "install" ? QDialog::Accepted : QDialog::Rejected));
        QCOMPARE(requested.count(), int(click == "install"));
        QVERIFY(requested.isEmpty() || requested.first().first().value<MZU::Offer>().critical);
        QCOMPARE(updater->skippedVersion(), click == "skip" ? "2.0.0" : "");
    }

    // The check box shows whether the updater checks by itself, also when the host changed that
    // and shows the dialog, and sets it: a day or never. Then the dialog as a person sees it;
    // docs/update-dialog.png is saved so, with MZUPDATER_SCREENSHOT=FILE.
    void automatic()
    {
        QCoreApplication::removeTranslator(&brackets);
        QApplication::setApplicationDisplayName("Demo App");
        make("1.4.2");
        auto *box = dialog->findChild<QCheckBox *>("automatic");
        QVERIFY(!box->isChecked());
        updater->setCheckInterval(3600);
        dialog->show();
        QVERIFY(box->isChecked());
        QCOMPARE(updater->checkInterval(), 3600);
        box->click();
        QCOMPARE(updater->checkInterval(), 0);
        box->click();
        QCOMPARE(updater->checkInterval(), 86400);
        box->click();
        updater->setCheckInterval(7200);
        QVERIFY(check(
            { filesOf({ 48234496, 1250000 }), release("1.5.0", "Opens files of 2 GiB and more."),
                release("2.0.0",
                    "<p>A <b>dark mode</b>.</p><ul><li>Search in every open file.</li>") }));
        QVERIFY(box->isChecked());
        QCOMPARE(updater->checkInterval(), 7200);
        const QImage image = dialog->grab().toImage();
        QVERIFY(image.width() >= 400 && image.height() >= 300);
        if (qEnvironmentVariableIsSet("MZUPDATER_SCREENSHOT"))
            QVERIFY(image.save(qEnvironmentVariable("MZUPDATER_SCREENSHOT"), "PNG"));
    }
};

QTEST_MAIN(tst_Dialog)
#include "tst_dialog.moc"
