// SPDX-License-Identifier: MIT
// The update dialog of mzupdater-widgets, under the offscreen platform, against offers that
// real checks bring from the loopback server. Links the installed-to-be libraries alone.
#include "httpserver.h"
#include "manifestbuilder.h"
#include "messagelog.h"
#include "mzu.h"
#include "mzupdatedialog.h"
#include "mzupdater.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QTranslator>
#include <QtTest>

#include <memory>

namespace {

const QString appName = QStringLiteral("DialogApp");

QJsonObject release(const QString &version, const QJsonValue &changelog = QJsonValue::Undefined,
    const QJsonObject &more = {})
{
    QJsonObject extra = more;
    extra.insert("changelog", changelog);
    return ManifestBuilder::release(appName, MZU::osString(), version, extra);
}

// An application entry (which must come before the releases of its name) with files of these sizes
// (a negative one: no "size") in release 2.0.0.
QJsonObject filesOf(const QList<qint64> &sizes)
{
    QJsonArray files;
    for (int i = 0; i < sizes.size(); ++i) {
        QJsonObject extra;
        if (sizes.at(i) >= 0)
            extra.insert("size", sizes.at(i));
        files.append(ManifestBuilder::file("2.0.0", QStringLiteral("f%1").arg(i), extra));
    }
    return ManifestBuilder::application(
        appName, QJsonArray { ManifestBuilder::system(MZU::osString(), files) });
}

// Every text a person reads in @p dialog, each with where it is.
QStringList textsOf(const QDialog &dialog)
{
    QStringList texts { "title: " + dialog.windowTitle() };
    for (const QLabel *label : dialog.findChildren<QLabel *>())
        if (!label->isHidden() && !label->text().isEmpty())
            texts << label->objectName() + ": " + label->text();
    for (const QAbstractButton *button : dialog.findChildren<QAbstractButton *>())
        if (!button->isHidden())
            texts << button->objectName() + ": " + button->text();
    return texts;
}

// Wraps every text of the dialog's context in brackets: a text that does not come through
// tr() shows up bare.
class Brackets : public QTranslator
{
public:
    bool isEmpty() const override { return false; }
    QString translate(
        const char *context, const char *source, const char *disambiguation, int n) const override
    {
        Q_UNUSED(disambiguation)
        Q_UNUSED(n)
        if (qstrcmp(context, "MzUpdateDialog") != 0)
            return QString();
        return QLatin1Char('[') + QString::fromUtf8(source) + QLatin1Char(']');
    }
};

} // namespace

class tst_Dialog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup()
    {
        delete dialog;
        updater.reset();
        QSettings().remove(QStringLiteral("mzupdater"));
    }
    void texts_data();
    void texts();
    void changelog_data();
    void changelog();
    void install();
    void skip();
    void later();
    void critical();
    void automatic();
    void translated();
    void screenshot();

private:
    // A dialog on an updater of the running version @p current, whose checks read @p apps.
    MzUpdateDialog *make(const QString &current = "1.0.0");
    // One check of @p apps; true when it showed the dialog.
    bool check(const QJsonArray &apps);
    QPushButton *button(const char *name) const
    {
        return dialog->findChild<QPushButton *>(QLatin1String(name));
    }

    HttpServer server;
    QTemporaryDir settingsHome;
    std::unique_ptr<MzUpdater> updater;
    QPointer<MzUpdateDialog> dialog;
};

void tst_Dialog::initTestCase()
{
    // A settings file of this run's own: another run at the same time must not clear it.
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(settingsHome.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsHome.path());
    QCoreApplication::setOrganizationName(QStringLiteral("mzupdater-tests"));
    QCoreApplication::setApplicationName(appName);
    QSettings().remove(QStringLiteral("mzupdater"));
}

MzUpdateDialog *tst_Dialog::make(const QString &current)
{
    delete dialog;
    updater = std::make_unique<MzUpdater>(current);
    updater->setManifestAddress(server.url("/Versions.json"));
    dialog = new MzUpdateDialog(updater.get());
    return dialog;
}

bool tst_Dialog::check(const QJsonArray &apps)
{
    server.setResponse("/Versions.json",
        HttpServer::Response::json(ManifestBuilder::manifest(apps).toJson(QJsonDocument::Compact)));
    QSignalSpy checked(updater.get(), &MzUpdater::checked);
    updater->checkUpdates();
    if (!checked.wait(10000))
        qWarning("no checked()");
    QCoreApplication::processEvents();
    return dialog->isVisible();
}

void tst_Dialog::texts_data()
{
    QTest::addColumn<QJsonArray>("apps");
    QTest::addColumn<QStringList>("texts");

    const QString heading = "heading: A new version of DialogApp is available";
    const QString versions =
        "versions: DialogApp 2.0.0 is available; you have 1.0.0. Would you like to install it now?";
    const QStringList buttons { "automatic: Check for updates automatically", "install: Install",
        "later: Remind me later", "skip: Skip this version" };
    const QString notes = "notesTitle: Release notes:";
    QTest::newRow("no files") << QJsonArray { release("2.0.0", "Faster.") }
                              << QStringList { heading, versions, notes } + buttons;
    QTest::newRow("files of known size")
        << QJsonArray { filesOf({ 1000000, 572864 }), release("2.0.0", "Faster.") }
        << QStringList { heading, versions,
               "size: Download size: " + QLocale().formattedDataSize(1572864), notes }
            + buttons;
    QTest::newRow("a file without a size: none shown") << QJsonArray { filesOf({ 1000000, -1 }),
        release("2.0.0", "Faster.") } << QStringList { heading, versions, notes } + buttons;
    QTest::newRow("critical: no skipping, and why")
        << QJsonArray { release("2.0.0", "Safer.", { { "critical", true } }) }
        << QStringList { heading, versions,
               "critical: This is a critical update: its publisher asks everyone to install it, "
               "so it cannot be skipped.",
               notes, buttons.at(0), buttons.at(1), buttons.at(2) };
}

// What the dialog says, shown by the update alone.
void tst_Dialog::texts()
{
    QFETCH(QJsonArray, apps);
    QFETCH(QStringList, texts);

    make();
    QVERIFY(!dialog->isVisible());
    QVERIFY(check(apps));
    QCOMPARE(dialog->windowTitle(), "Software Update");
    QStringList seen = textsOf(*dialog);
    seen.removeFirst(); // the title
    std::sort(seen.begin(), seen.end());
    std::sort(texts.begin(), texts.end());
    QCOMPARE(seen.join(" | "), texts.join(" | "));
    QCOMPARE(dialog->offer().version.toString(), "2.0.0");
    // The buttons in the platform's order, with their roles.
    auto *box = dialog->findChild<QDialogButtonBox *>();
    QVERIFY(box);
    QCOMPARE(box->buttonRole(button("install")), QDialogButtonBox::AcceptRole);
    QCOMPARE(box->buttonRole(button("later")), QDialogButtonBox::RejectRole);
    QCOMPARE(box->buttonRole(button("skip")), QDialogButtonBox::DestructiveRole);
    QVERIFY(button("install")->isDefault());
}

void tst_Dialog::changelog_data()
{
    QTest::addColumn<QJsonArray>("apps");
    QTest::addColumn<bool>("rich");
    QTest::addColumn<QString>("shown"); // the browser's plain text
    QTest::addColumn<QString>("bold"); // a word shown bold; empty: none

    QTest::newRow("plain, with its line breaks")
        << QJsonArray { release("1.5.0", "Smaller.\n\nFaster start."),
               release("2.0.0", "Dark mode.\nNew look.") }
        << false << "2.0.0:\nDark mode.\nNew look.\n1.5.0:\nSmaller.\n\nFaster start."
        << "";
    // Qt::mightBeRichText() reads a release's first line: no tag there, no HTML.
    QTest::newRow("plain, with markup characters")
        << QJsonArray { release("2.0.0", "Faster when n < 10 & m > 2.\n<b>Kept</b> as written.") }
        << false << "2.0.0:\nFaster when n < 10 & m > 2.\n<b>Kept</b> as written."
        << "";
    QTest::newRow("HTML") << QJsonArray { release("1.5.0", "<p>Smaller.</p>"),
        release("2.0.0", "<p>A <b>dark</b> mode.</p><ul><li>New look.</li></ul>") }
                          << true
                          << "Version 2.0.0\nA dark mode.\nNew look.\nVersion 1.5.0\nSmaller."
                          << "dark";
    // Each release is read as it is: a plain one among HTML ones keeps its line breaks.
    QTest::newRow("HTML and plain")
        << QJsonArray { release("1.5.0", "Smaller.\nFaster start."),
               release("2.0.0", "<b>Dark</b> mode.") }
        << true << "Version 2.0.0\nDark mode.\nVersion 1.5.0\nSmaller.\nFaster start."
        << "Dark";
    QTest::newRow("no change log") << QJsonArray { release("2.0.0") } << false
                                   << "No release notes were published for this version."
                                   << "";
}

void tst_Dialog::changelog()
{
    QFETCH(QJsonArray, apps);
    QFETCH(bool, rich);
    QFETCH(QString, shown);
    QFETCH(QString, bold);

    make();
    QVERIFY(check(apps));
    auto *browser = dialog->findChild<QTextBrowser *>("changelog");
    QVERIFY(browser);
    QString text = browser->toPlainText();
    text.replace(QChar(0x2029), '\n').replace(QChar(0x2028), '\n');
    // Rich text: one line for each paragraph or item; QTextDocument puts no empty ones.
    if (rich)
        text = text.split('\n', Qt::SkipEmptyParts).join('\n');
    QCOMPARE(text, shown);
    QCOMPARE(browser->toHtml().contains("<h3"), rich);
    if (!bold.isEmpty()) {
        const QTextCursor found = browser->document()->find(bold);
        QVERIFY(!found.isNull());
        QCOMPARE(found.charFormat().fontWeight(), int(QFont::Bold));
    }
}

// "Install" hands the offer shown to the host, and closes.
void tst_Dialog::install()
{
    make();
    QSignalSpy requested(dialog.data(), &MzUpdateDialog::installRequested);
    QVERIFY(check({ release("2.0.0", "Faster.") }));
    button("install")->click();
    QCOMPARE(requested.count(), 1);
    const MZU::Offer offer = requested.first().first().value<MZU::Offer>();
    QCOMPARE(offer.version.toString(), "2.0.0");
    QCOMPARE(offer.changelog, "2.0.0:\nFaster.");
    QVERIFY(!dialog->isVisible());
    QCOMPARE(dialog->result(), int(QDialog::Accepted));
    QCOMPARE(updater->skippedVersion(), QString());
}

// "Skip this version" skips it: the same release does not bring the dialog back, a newer one
// does.
void tst_Dialog::skip()
{
    make();
    QSignalSpy requested(dialog.data(), &MzUpdateDialog::installRequested);
    QVERIFY(check({ release("2.0.0", "Faster.") }));
    button("skip")->click();
    QVERIFY(!dialog->isVisible());
    QCOMPARE(updater->skippedVersion(), "2.0.0");
    QCOMPARE(QSettings().value("mzupdater/skippedVersion").toString(), "2.0.0");
    QVERIFY(!check({ release("2.0.0", "Faster.") }));
    QVERIFY(check({ release("2.0.0", "Faster."), release("2.1.0", "Fixed.") }));
    QCOMPARE(dialog->offer().version.toString(), "2.1.0");
    QCOMPARE(requested.count(), 0);
}

// "Remind me later" closes until the next check, which offers the same release again.
void tst_Dialog::later()
{
    make();
    QSignalSpy requested(dialog.data(), &MzUpdateDialog::installRequested);
    QVERIFY(check({ release("2.0.0", "Faster.") }));
    button("later")->click();
    QVERIFY(!dialog->isVisible());
    QCOMPARE(dialog->result(), int(QDialog::Rejected));
    QCOMPARE(updater->skippedVersion(), QString());
    QVERIFY(check({ release("2.0.0", "Faster.") }));
    QCOMPARE(requested.count(), 0);
}

// A critical release cannot be skipped, and is offered even when its version was.
void tst_Dialog::critical()
{
    make();
    QVERIFY(check({ release("2.0.0", "Faster.") }));
    button("skip")->click();
    QVERIFY(check({ release("2.0.0", "Safer.", { { "critical", true } }) }));
    QVERIFY(dialog->offer().critical);
    QVERIFY(button("skip")->isHidden());
    QVERIFY(button("install")->isVisible());
    QVERIFY(button("later")->isVisible());
    QVERIFY(dialog->findChild<QLabel *>("critical")->isVisible());
    // Not critical again: the button and not the note.
    QVERIFY(check({ release("2.0.0", "Faster."), release("2.1.0", "Fixed.") }));
    QVERIFY(button("skip")->isVisible());
    QVERIFY(dialog->findChild<QLabel *>("critical")->isHidden());
}

// The check box shows whether the updater checks by itself, and sets it: a day or never.
void tst_Dialog::automatic()
{
    make();
    auto *box = dialog->findChild<QCheckBox *>("automatic");
    QVERIFY(box);
    QVERIFY(!box->isChecked());
    QVERIFY(check({ release("2.0.0", "Faster.") }));
    QVERIFY(!box->isChecked());
    box->click();
    QCOMPARE(updater->checkInterval(), 86400);
    box->click();
    QCOMPARE(updater->checkInterval(), 0);
    box->setChecked(true);
    QCOMPARE(updater->checkInterval(), 86400);

    // An interval of the host's own is shown, and kept as it is.
    button("later")->click();
    updater->setCheckInterval(7200);
    QVERIFY(check({ release("2.0.0", "Faster.") }));
    QVERIFY(box->isChecked());
    QCOMPARE(updater->checkInterval(), 7200);
    updater->setCheckInterval(0);
    QVERIFY(check({ release("2.0.0", "Faster.") }));
    QVERIFY(!box->isChecked());
    QCOMPARE(updater->checkInterval(), 0);
    // Shown by the host, after it changed the interval.
    button("later")->click();
    updater->setCheckInterval(3600);
    dialog->show();
    QVERIFY(box->isChecked());
    QCOMPARE(updater->checkInterval(), 3600);
}

// Every text goes through tr(): with a translator that brackets each, none is left bare.
void tst_Dialog::translated()
{
    Brackets brackets;
    QVERIFY(QCoreApplication::installTranslator(&brackets));
    make();
    QVERIFY(check({ filesOf({ 1000 }), release("2.0.0", "Faster.") }));
    QStringList texts = textsOf(*dialog);
    QVERIFY(check({ release("2.0.0", "Safer.", { { "critical", true } }) }));
    texts += textsOf(*dialog);
    QVERIFY(check({ release("2.0.0") }));
    texts += "changelog: " + dialog->findChild<QTextBrowser *>("changelog")->toPlainText();
    QCoreApplication::removeTranslator(&brackets);
    QVERIFY(texts.size() > 15);
    for (const QString &text : qAsConst(texts)) {
        const QString shown = text.section(": ", 1);
        QVERIFY2(shown.startsWith('[') && shown.endsWith(']'), qPrintable(text));
    }
}

// The dialog as a person sees it; with MZUPDATER_SCREENSHOT=FILE, also saved there as PNG
// (docs/update-dialog.png is made so).
void tst_Dialog::screenshot()
{
    QApplication::setApplicationDisplayName(QStringLiteral("Demo App"));
    make("1.4.2");
    QVERIFY(check({ filesOf({ 48234496, 1250000 }),
        release("1.5.0", "Opens files of 2 GiB and more.\nFaster start on Windows."),
        release("2.0.0",
            "<p>A <b>dark mode</b>, which follows the system's.</p>"
            "<ul><li>A new toolbar, which you can arrange.</li>"
            "<li>Search in every open file at once.</li>"
            "<li>Fixed: the window forgot its size on a second screen.</li></ul>") }));
    QApplication::setApplicationDisplayName(QString());
    const QImage image = dialog->grab().toImage();
    QVERIFY(!image.isNull());
    QVERIFY(image.width() >= 400 && image.height() >= 300);
    const QString path = qEnvironmentVariable("MZUPDATER_SCREENSHOT");
    if (!path.isEmpty())
        QVERIFY(image.save(path, "PNG"));
}

int main(int argc, char *argv[])
{
    // No display needed: the offscreen platform, unless one is asked for.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    tst_Dialog test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_dialog.moc"
