// SPDX-License-Identifier: MIT
#include <mzupdatedialog.h>
#include <mzupdater.h>

#include <QApplication>
#include <QPushButton>

static_assert(QT_VERSION_MAJOR == EXPECTED_QT_MAJOR, "the package brought the wrong Qt");

// Makes the dialog on an updater, under the offscreen platform: the dialog library and the core
// one it brings must both link and load.
int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    MzUpdater updater(QStringLiteral("1.0.0"));
    MzUpdateDialog dialog(&updater);
    bool requested = false;
    QObject::connect(&dialog, &MzUpdateDialog::installRequested,
        [&requested](const MZU::Offer &offer) { requested = offer.version.isNull(); });
    dialog.findChild<QPushButton *>(QStringLiteral("install"))->click();
    return requested && !dialog.isVisible() && updater.checkInterval() == 0 ? 0 : 1;
}
