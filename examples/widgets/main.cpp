// SPDX-License-Identifier: MIT
// mzupdater-widgets-demo: a window whose Help menu asks mzupdater whether a newer release is
// published, and which checks by itself once a day when the user opts in (the check box of
// the update dialog; the choice is kept here, with QSettings). An update is offered by
// MzUpdateDialog, which shows itself; its "Install" starts the maintenance tool in its updater
// mode and quits, as an application installed with the Qt Installer Framework does. The updater
// is a child of the main window, so closing the window (which deletes it) may happen at any
// moment of a check.
//
//   mzupdater-widgets-demo [--version VERSION] [--check-now] [--close-after MS]
//
// --check-now starts a check at once; --close-after closes the window after MS ms, as a
// user would, for tests. The manifest address comes from "URL/Versions" in
// maintenancetool.ini beside the executable.

#include <mzupdatedialog.h>
#include <mzupdater.h>

#include <QAction>
#include <QApplication>
#include <QCommandLineParser>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QSettings>
#include <QTimer>

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(const QString &version)
        : status(new QLabel(tr("Running version %1.").arg(version), this))
        , updater(new MzUpdater(version, this))
        , dialog(new MzUpdateDialog(updater, this))
    {
        setAttribute(Qt::WA_DeleteOnClose);
        setCentralWidget(status);
        checkAction = menuBar()->addMenu(tr("&Help"))->addAction(tr("Check for updates"));
        connect(checkAction, &QAction::triggered, this, &MainWindow::checkForUpdates);
        connect(updater, &MzUpdater::checked, this, &MainWindow::checked);
        connect(updater, &MzUpdater::checkFailed, this, &MainWindow::failed);
        connect(dialog, &MzUpdateDialog::installRequested, this, &MainWindow::install);
        // The user's choice from the dialog's check box, kept from run to run: 0 or a day.
        updater->setCheckInterval(QSettings().value(QStringLiteral("checkInterval"), 0).toInt());
    }

    ~MainWindow() override
    {
        QSettings().setValue(QStringLiteral("checkInterval"), updater->checkInterval());
    }

public Q_SLOTS:
    void checkForUpdates()
    {
        asked = true;
        checkAction->setEnabled(false);
        status->setText(tr("Checking for updates..."));
        updater->checkUpdates();
    }

private Q_SLOTS:
    // The dialog shows itself when an update is offered (a skipped version is not).
    void checked()
    {
        checkAction->setEnabled(true);
        const MZU::Offer offer = updater->offer();
        if (offer.version.isNull())
            status->setText(tr("This is the latest version."));
        else if (!offer.critical && offer.version <= MZU::Version(updater->skippedVersion()))
            status->setText(
                tr("Version %1 is available; you chose to skip it.").arg(offer.version.toString()));
        else
            status->setText(tr("Version %1 is available.").arg(offer.version.toString()));
        asked = false;
    }

    void failed(const QString &reason)
    {
        checkAction->setEnabled(true);
        status->setText(tr("Could not check for updates."));
        if (asked) // an automatic check fails in silence
            tell(QMessageBox::Warning, tr("Could not check for updates"), reason);
        asked = false;
    }

    // An application installed with the Qt Installer Framework updates through its
    // maintenance tool, which cannot replace the files of a running application: start it in
    // its updater mode and leave.
    void install(const MZU::Offer &offer)
    {
        const QString tool = MZU::maintenanceToolPath(qApp);
        if (QProcess::startDetached(tool, { QStringLiteral("--updater") })) {
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
            return;
        }
        tell(QMessageBox::Warning, tr("Cannot install version %1").arg(offer.version.toString()),
            tr("The maintenance tool could not be started: %1").arg(tool));
    }

private:
    // Not exec(): the window stays live, and may be closed, while the box is up.
    void tell(QMessageBox::Icon icon, const QString &title, const QString &text)
    {
        auto *box = new QMessageBox(icon, title, text, QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    }

    QLabel *status;
    QAction *checkAction = nullptr;
    MzUpdater *updater;
    MzUpdateDialog *dialog;
    bool asked = false; // the running check was asked for from the menu
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The manifest lists releases under the application's name; QSettings keeps the
    // updater's memory under the organisation's and the application's.
    QApplication::setOrganizationName(QStringLiteral("mzupdater-demo"));
    QApplication::setApplicationName(QStringLiteral("DemoApp"));
    QCommandLineParser parser;
    const QCommandLineOption version(QStringLiteral("version"),
        QStringLiteral("The release this copy runs."), QStringLiteral("VERSION"),
        QStringLiteral("1.0.0"));
    const QCommandLineOption checkNow(
        QStringLiteral("check-now"), QStringLiteral("Check for updates at once."));
    const QCommandLineOption closeAfter(QStringLiteral("close-after"),
        QStringLiteral("Close the window after MS ms."), QStringLiteral("MS"));
    parser.addOptions({ version, checkNow, closeAfter });
    parser.addHelpOption();
    parser.process(app);

    auto *window = new MainWindow(parser.value(version)); // deletes itself when closed
    window->show();
    if (parser.isSet(checkNow))
        window->checkForUpdates();
    if (parser.isSet(closeAfter))
        QTimer::singleShot(parser.value(closeAfter).toInt(), window, &QWidget::close);
    return app.exec();
}

#include "main.moc"
