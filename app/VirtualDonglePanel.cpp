#include "app/VirtualDonglePanel.h"

#include <QtCore/QTimer>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QVBoxLayout>

#include "sim/VirtualDongle.h"

namespace qdm {

namespace {
constexpr int kRefreshMs = 250;

QString DongleName(const sim::VirtualDongle& dongle) {
    if (dongle.Config().kind == sim::DongleKind::McuRom) return QStringLiteral("MCU-ROM dongle");
    switch (dongle.Config().board) {
        case sim::BoardKind::K3r8:
            return QStringLiteral("Writer dongle, K3.r8 board");
        case sim::BoardKind::K3r1:
            return QStringLiteral("Writer dongle, K3.r1 board");
        case sim::BoardKind::Demoboard:
            return QStringLiteral("Writer dongle, demoboard");
        case sim::BoardKind::None:
            break;
    }
    return QStringLiteral("Writer dongle, no board");
}
}  // namespace

VirtualDonglePanel::VirtualDonglePanel(std::shared_ptr<sim::VirtualDongle> dongle, QWidget* owner)
    : QWidget(owner, Qt::Tool), dongle_(std::move(dongle)) {
    setObjectName(QStringLiteral("VirtualDonglePanel"));
    setWindowTitle(QStringLiteral("Virtual dongle"));
    // Closing it must not keep the program alive, nor end it.
    setAttribute(Qt::WA_QuitOnClose, false);

    auto* name = new QLabel(DongleName(*dongle_), this);
    state_ = new QLabel(this);
    state_->setObjectName(QStringLiteral("DongleState"));
    plug_ = new QPushButton(QStringLiteral("Plug in"), this);
    plug_->setObjectName(QStringLiteral("PlugButton"));
    unplug_ = new QPushButton(QStringLiteral("Unplug"), this);
    unplug_->setObjectName(QStringLiteral("UnplugButton"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(name);
    layout->addWidget(state_);
    auto* buttons = new QHBoxLayout;
    layout->addLayout(buttons);
    buttons->addWidget(plug_);
    buttons->addWidget(unplug_);

    connect(plug_, &QPushButton::clicked, this, &VirtualDonglePanel::Plug);
    connect(unplug_, &QPushButton::clicked, this, &VirtualDonglePanel::Unplug);
    refresh_ = new QTimer(this);
    refresh_->setInterval(kRefreshMs);
    connect(refresh_, &QTimer::timeout, this, &VirtualDonglePanel::Refresh);
    refresh_->start();
    Refresh();
}

void VirtualDonglePanel::Plug() {
    if (!dongle_->Plugged()) dongle_->Plug();
    Refresh();
}

void VirtualDonglePanel::Unplug() {
    if (dongle_->Plugged()) dongle_->Unplug();
    Refresh();
}

void VirtualDonglePanel::Refresh() {
    const bool plugged = dongle_->Plugged();
    state_->setText(plugged ? QStringLiteral("Plugged in") : QStringLiteral("Not plugged in"));
    plug_->setEnabled(!plugged);
    unplug_->setEnabled(plugged);
}

void VirtualDonglePanel::PlaceBeside(const QWidget& window) {
    adjustSize();
    const QRect frame = window.frameGeometry();
    move(frame.right() + 12, frame.top());
}

}  // namespace qdm
