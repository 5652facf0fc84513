#pragma once
// A small tool window of demo mode (--simulate): plugs the virtual dongle in and pulls it out
// while the program runs, so the presence polling can be tried. It is a window of its own, so
// the main window keeps its layout.

#include <QtWidgets/QWidget>
#include <memory>

class QLabel;
class QPushButton;
class QTimer;

namespace qdm {

namespace sim {
class VirtualDongle;
}

class VirtualDonglePanel final : public QWidget {
    Q_OBJECT

  public:
    // `owner` (the main window) keeps it on top of itself and takes it along when it closes.
    VirtualDonglePanel(std::shared_ptr<sim::VirtualDongle> dongle, QWidget* owner);

    void Plug();
    void Unplug();
    // Puts it beside the main window.
    void PlaceBeside(const QWidget& window);

  private:
    // The dongle can also go by an injected fault, so the state is read, not remembered.
    void Refresh();

    std::shared_ptr<sim::VirtualDongle> dongle_;
    QLabel* state_ = nullptr;
    QPushButton* plug_ = nullptr;
    QPushButton* unplug_ = nullptr;
    QTimer* refresh_ = nullptr;
};

}  // namespace qdm
