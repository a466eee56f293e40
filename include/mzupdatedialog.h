// SPDX-License-Identifier: MIT
#ifndef MZUPDATEDIALOG_H
#define MZUPDATEDIALOG_H

#include "mzu.h"
#include "mzupdaterwidgets_export.h"

#include <QDialog>

#include <memory>

class MzUpdater;

/// The update dialog of the library mzupdater-widgets (Qt 6: mzupdater-widgets-qt6), for Qt
/// Widgets applications.
///
/// It shows itself each time @p updater emits updateAvailable(): the host makes it once and
/// does not call show(). It names the application (QGuiApplication::applicationDisplayName()),
/// the running version and the offered one, shows the change log (as rich text when the
/// releases' own change logs are HTML, else as plain text) and the download size when the
/// manifest gives every file's, and offers three buttons, in the platform's order:
/// - "Install" emits installRequested() and closes the dialog (accepted);
/// - "Skip this version" calls MzUpdater::skipVersion() and closes it (rejected); hidden, with
///   a line saying why, when the offer is critical;
/// - "Remind me later" closes it (rejected) until the next check offers an update.
///
/// The check box "Check for updates automatically" is checked while the updater has a check
/// interval; checking it sets a daily one (86400 s), unchecking it sets 0. Every text goes
/// through tr() in the context "MzUpdateDialog".
class MZUPDATERWIDGETS_EXPORT MzUpdateDialog : public QDialog
{
    Q_OBJECT

public:
    explicit MzUpdateDialog(MzUpdater *updater, QWidget *parent = nullptr);
    ~MzUpdateDialog() override;

    /// The offer shown: the updater's offer() when it last emitted updateAvailable() (or when
    /// the dialog was made). It stays while the next check runs.
    MZU::Offer offer() const;

Q_SIGNALS:
    /// The user chose "Install" for @p offer. Acting on it is the host's business: for an
    /// application installed by the Qt Installer Framework, start the maintenance tool
    /// (MZU::maintenanceToolPath()) with "--updater" and quit.
    void installRequested(const MZU::Offer &offer);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void present(const MZU::Offer &offer);
    void refresh();

    struct Private;
    std::unique_ptr<Private> d;
};

#endif // MZUPDATEDIALOG_H
