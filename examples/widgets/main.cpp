// SPDX-License-Identifier: MIT
// mzupdater-widgets: a window whose Help menu asks mzupdater whether a newer release is
// published. The updater is a child of the main window, so closing the window (which
// deletes it) may happen at any moment of a check.
//
//   mzupdater-widgets [--version VERSION] [--check-now] [--close-after MS]
//
// --check-now starts a check at once; --close-after closes the window after MS ms, as a
// user would, for tests. The manifest address comes from "URL/Versions" in
// maintenancetool.ini beside the executable.

#include <mzupdater.h>

#include <QAction>
#include <QApplication>
#include <QCommandLineParser>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QTimer>

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(const QString &version)
        : status(new QLabel(tr("Running version %1.").arg(version), this))
        , updater(new MzUpdater(version, this))
    {
        setAttribute(Qt::WA_DeleteOnClose);
        setCentralWidget(status);
        checkAction = menuBar()->addMenu(tr("&Help"))->addAction(tr("Check for updates"));
        connect(checkAction, &QAction::triggered, this, &MainWindow::checkForUpdates);
        connect(updater, &MzUpdater::checked, this, &MainWindow::upToDate);
        connect(updater, &MzUpdater::updateAvailable, this, &MainWindow::offer);
        connect(updater, &MzUpdater::checkFailed, this, &MainWindow::failed);
    }

public Q_SLOTS:
    void checkForUpdates()
    {
        checkAction->setEnabled(false);
        status->setText(tr("Checking for updates..."));
        updater->checkUpdates();
    }

private Q_SLOTS:
    // updateAvailable() follows in the same call when there is an update.
    void upToDate()
    {
        checkAction->setEnabled(true);
        status->setText(tr("This is the latest version."));
    }

    void offer(const QString &newver, const QString &changelog)
    {
        status->setText(tr("Version %1 is available.").arg(newver));
        tell(QMessageBox::Information, tr("Update available"),
            tr("Version %1 is available.").arg(newver), changelog);
    }

    void failed(const QString &reason)
    {
        checkAction->setEnabled(true);
        status->setText(tr("Could not check for updates."));
        tell(QMessageBox::Warning, tr("Could not check for updates"), reason, QString());
    }

private:
    // Not exec(): the window stays live, and may be closed, while the dialog is up.
    void tell(
        QMessageBox::Icon icon, const QString &title, const QString &text, const QString &details)
    {
        auto *box = new QMessageBox(icon, title, text, QMessageBox::Ok, this);
        box->setDetailedText(details);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    }

    QLabel *status;
    QAction *checkAction = nullptr;
    MzUpdater *updater;
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The manifest lists releases under the application's name.
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
