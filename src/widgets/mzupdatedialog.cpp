// SPDX-License-Identifier: MIT
#include "mzupdatedialog.h"

#include "mzupdater.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStyle>
#include <QTextBrowser>
#include <QTextDocument>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// The daily interval that the check box turns on.
constexpr int daily = 24 * 60 * 60;

// One release's part of the combined change log.
struct Block
{
    QString version;
    QString text;
};

// The combined change log back in its releases: each block starts with a line "VERSION:" of a
// version after @p current, at most @p offered, and older than the block before. Empty when
// the text does not read so (then it is shown whole).
QList<Block> blocksOf(
    const QString &changelog, const MZU::Version &current, const MZU::Version &offered)
{
    QList<Block> blocks;
    MZU::Version previous = offered;
    bool first = true;
    const QStringList lines = changelog.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        MZU::Version version;
        const bool heading = line.endsWith(QLatin1Char(':')) && version.fromString(line.chopped(1))
            && !version.isNull() && current < version
            && (first ? version <= offered : version < previous);
        if (heading) {
            blocks.append({ version.toString(), QString() });
            previous = version;
            first = false;
        } else if (blocks.isEmpty()) {
            return {};
        } else {
            Block &block = blocks.last();
            block.text += block.text.isNull() ? line : QLatin1Char('\n') + line;
        }
    }
    return blocks;
}

} // namespace

struct MzUpdateDialog::Private
{
    QPointer<MzUpdater> updater;
    MZU::Offer offer;
    QLabel *icon = nullptr;
    QLabel *heading = nullptr;
    QLabel *versions = nullptr;
    QLabel *critical = nullptr;
    QLabel *size = nullptr;
    QLabel *notesTitle = nullptr;
    QTextBrowser *notes = nullptr;
    QCheckBox *automatic = nullptr;
    QDialogButtonBox *buttons = nullptr;
    QPushButton *install = nullptr;
    QPushButton *skip = nullptr;
    QPushButton *later = nullptr;
};

MzUpdateDialog::MzUpdateDialog(MzUpdater *updater, QWidget *parent)
    : QDialog(parent)
    , d(std::make_unique<Private>())
{
    qRegisterMetaType<MZU::Offer>("MZU::Offer"); // for queued connections to installRequested()
    d->updater = updater;
    setWindowTitle(tr("Software Update"));
    setObjectName(QStringLiteral("MzUpdateDialog"));

    const auto label = [this](const char *name) {
        auto *widget = new QLabel(this);
        widget->setObjectName(QLatin1String(name));
        widget->setTextFormat(Qt::PlainText); // names and versions come from elsewhere
        widget->setWordWrap(true);
        return widget;
    };
    d->icon = new QLabel(this);
    d->icon->setObjectName(QStringLiteral("icon"));
    d->icon->setAlignment(Qt::AlignTop);
    d->heading = label("heading");
    QFont bold = d->heading->font();
    bold.setBold(true);
    QFont large = bold;
    large.setPointSizeF(bold.pointSizeF() * 1.25);
    d->heading->setFont(large);
    d->versions = label("versions");
    d->critical = label("critical");
    d->critical->setText(tr("This is a critical update: its publisher asks everyone to install "
                            "it, so it cannot be skipped."));
    d->critical->setFont(bold);
    d->size = label("size");
    d->notesTitle = label("notesTitle");
    d->notesTitle->setText(tr("Release notes:"));
    d->notesTitle->setFont(bold);
    d->notes = new QTextBrowser(this);
    d->notes->setObjectName(QStringLiteral("changelog"));
    // Links open in the browser, and only web ones: a change log is not trusted with more.
    d->notes->setOpenLinks(false);
    connect(d->notes, &QTextBrowser::anchorClicked, this, [](const QUrl &url) {
        const QString scheme = url.scheme().toLower();
        if (scheme == QLatin1String("https") || scheme == QLatin1String("http"))
            QDesktopServices::openUrl(url);
    });
    d->automatic = new QCheckBox(tr("Check for updates automatically"), this);
    d->automatic->setObjectName(QStringLiteral("automatic"));
    connect(d->automatic, &QCheckBox::toggled, this, [this](bool on) {
        if (d->updater)
            d->updater->setCheckInterval(on ? daily : 0);
    });

    d->buttons = new QDialogButtonBox(this);
    d->buttons->setObjectName(QStringLiteral("buttons"));
    d->install = d->buttons->addButton(tr("Install"), QDialogButtonBox::AcceptRole);
    d->install->setObjectName(QStringLiteral("install"));
    d->later = d->buttons->addButton(tr("Remind me later"), QDialogButtonBox::RejectRole);
    d->later->setObjectName(QStringLiteral("later"));
    // Where the platform puts "Don't save": apart from the other two.
    d->skip = d->buttons->addButton(tr("Skip this version"), QDialogButtonBox::DestructiveRole);
    d->skip->setObjectName(QStringLiteral("skip"));
    d->install->setDefault(true);
    connect(d->install, &QPushButton::clicked, this, [this] {
        const MZU::Offer chosen = d->offer;
        accept();
        Q_EMIT installRequested(chosen);
    });
    connect(d->skip, &QPushButton::clicked, this, [this] {
        if (d->updater && !d->offer.version.isNull())
            d->updater->skipVersion(d->offer.version.toString());
        reject();
    });
    connect(d->later, &QPushButton::clicked, this, &QDialog::reject);

    auto *text = new QVBoxLayout;
    text->addWidget(d->heading);
    text->addWidget(d->versions);
    text->addWidget(d->critical);
    text->addWidget(d->size);
    text->addSpacing(style()->pixelMetric(QStyle::PM_LayoutVerticalSpacing));
    text->addWidget(d->notesTitle);
    text->addWidget(d->notes, 1);
    text->addWidget(d->automatic);
    auto *top = new QHBoxLayout;
    top->addWidget(d->icon);
    top->addLayout(text, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addWidget(d->buttons);
    resize(560, 420);

    if (updater) {
        connect(updater, &MzUpdater::updateAvailable, this,
            [this] { present(d->updater ? d->updater->offer() : MZU::Offer()); });
        d->offer = updater->offer();
    }
    refresh();
}

MzUpdateDialog::~MzUpdateDialog() = default;

MZU::Offer MzUpdateDialog::offer() const
{
    return d->offer;
}

void MzUpdateDialog::present(const MZU::Offer &offer)
{
    d->offer = offer;
    refresh();
    show();
    raise();
    activateWindow();
}

// The host may have changed the interval since: the check box shows it as it is.
void MzUpdateDialog::showEvent(QShowEvent *event)
{
    const QSignalBlocker quiet(d->automatic);
    d->automatic->setChecked(d->updater && d->updater->checkInterval() != 0);
    QDialog::showEvent(event);
}

// Fills every widget from the offer and the updater.
void MzUpdateDialog::refresh()
{
    const MZU::Offer &offer = d->offer;
    const QString app = QGuiApplication::applicationDisplayName();
    const QString running = d->updater ? d->updater->currentVersion() : QString();
    // The application's icon, else the style's for information.
    QIcon icon = QApplication::windowIcon();
    if (icon.isNull())
        icon = style()->standardIcon(QStyle::SP_MessageBoxInformation, nullptr, this);
    const int side = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this) * 3 / 2;
    d->icon->setPixmap(icon.pixmap(side, side));
    d->icon->setVisible(!icon.isNull());
    d->heading->setText(tr("A new version of %1 is available").arg(app));
    d->versions->setText(tr("%1 %2 is available; you have %3. Would you like to install it now?")
                             .arg(app, offer.version.toString(), running));
    d->critical->setVisible(offer.critical);
    d->skip->setVisible(!offer.critical);
    // Known when the manifest gives a size for every file to download.
    const bool sized = offer.downloadSize >= 0 && !offer.files.isEmpty();
    d->size->setVisible(sized);
    d->size->setText(sized
            ? tr("Download size: %1").arg(QLocale().formattedDataSize(offer.downloadSize))
            : QString());

    const QString changelog = offer.changelog;
    const QList<Block> blocks = blocksOf(changelog, MZU::Version(running), offer.version);
    const bool rich = std::any_of(blocks.begin(), blocks.end(),
        [](const Block &block) { return Qt::mightBeRichText(block.text); });
    if (changelog.trimmed().isEmpty()) {
        d->notes->setPlainText(tr("No release notes were published for this version."));
    } else if (rich) {
        QString html;
        for (const Block &block : blocks) {
            html += QLatin1String("<h3>") + tr("Version %1").arg(block.version).toHtmlEscaped()
                + QLatin1String("</h3>")
                + (Qt::mightBeRichText(block.text) ? block.text
                                                   : Qt::convertFromPlainText(block.text));
        }
        d->notes->setHtml(html);
    } else {
        d->notes->setPlainText(changelog);
    }

    const QSignalBlocker quiet(d->automatic);
    d->automatic->setChecked(d->updater && d->updater->checkInterval() != 0);
    d->automatic->setEnabled(bool(d->updater));
}
