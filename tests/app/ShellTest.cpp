// The application shell around the window: exceptions nobody caught, the hidden diagnostic
// firmware download, and demo mode's plug and unplug window.

#include <QtCore/QFile>
#include <QtTest/QtTest>
#include <stdexcept>

#include "app/VirtualDonglePanel.h"
#include "app/WriterApplication.h"
#include "sim/StandInFirmware.h"
#include "tests/app/GuiTest.h"
#include "tests/app/WindowRig.h"
#include "usb/Fileiofunctions.h"

namespace qdm::test {

namespace {
class Throwing final : public QObject {
  public:
    bool nonStandard = false;
    int handled = 0;

  protected:
    bool event(QEvent* event) override {
        if (event->type() != QEvent::User) return QObject::event(event);
        ++handled;
        if (nonStandard) throw 42;
        throw std::runtime_error("boom");
    }
};

QString Write(const std::filesystem::path& file, std::string_view text) {
    WriteFileFrom({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, file);
    return QFile::decodeName(file.string().c_str());
}
}  // namespace

class ShellTest : public QObject {
    Q_OBJECT

  private slots:
    void cleanup() {
        rig_.reset();
        App().SetExceptionReport(nullptr);
    }

    void uncaughtExceptionIsShownAndTheLoopGoesOn() {
        std::vector<QString> reports;
        App().SetExceptionReport([&](const QString& text) { reports.push_back(text); });
        Throwing object;
        QCoreApplication::postEvent(&object, new QEvent(QEvent::User));
        QCoreApplication::processEvents();
        QCOMPARE(reports, std::vector<QString>{QStringLiteral("boom")});
        object.nonStandard = true;
        QCoreApplication::postEvent(&object, new QEvent(QEvent::User));
        QCoreApplication::processEvents();
        QCOMPARE(reports.size(), 2u);
        QCOMPARE(reports.back(), QString());
        QCOMPARE(object.handled, 2);
    }

    void handlerExceptionIsShown() {
        Rig& rig = Start(Simulated("k3r8"));
        // The dialog itself breaks down: nothing in the handler catches that.
        rig.onDialog = [] { throw std::runtime_error("dialog broke"); };
        rig.Find("Btn_1")->click();
        QCOMPARE(rig.exceptions, std::vector<QString>{QStringLiteral("dialog broke")});
        QVERIFY(!rig.Window().RunActive());
    }

    void diagnosticDownloadOfPlainHex() {
        Rig& rig = Start(Simulated("k3r8"));
        rig.files.push_back(Write(rig.Folder() / "plain.hex", sim::StandInFirmwareHex()));
        rig.Window().SetStatusColour(StatusColour::Red);
        rig.Find("Btn_1")->click();
        QCOMPARE(rig.Window().lines.back(), "red: Firmware Download OK..");
        QCOMPARE(rig.Dongle().State(), sim::FirmwareState::Writer);
        // The decoded image: 16 KiB, the records' bytes at their addresses.
        std::vector<std::uint8_t> image(kDiagnosticImageSize + 1);
        QCOMPARE(ReadFileInto(rig.Folder() / "aa.bin", image), kDiagnosticImageSize);
        for (const sim::FirmwareRecord& record : sim::StandInFirmwareRecords())
            for (std::size_t i = 0; i < record.data.size(); ++i)
                if (record.address + i < kDiagnosticImageSize)
                    QCOMPARE(image[record.address + i], record.data[i]);
    }

    void diagnosticDownloadWithoutDongleFails() {
        Rig& rig = Start(Simulated("k3r8", {"absent"}));
        rig.files.push_back(Write(rig.Folder() / "plain.hex", sim::StandInFirmwareHex()));
        rig.Find("Btn_1")->click();
        QCOMPARE(rig.Status(), std::string("Firmware Download Fail.."));
    }

    void diagnosticDownloadCancelledOrMissing() {
        Rig& rig = Start(Simulated("k3r8"));
        const auto lines = rig.Window().lines;
        rig.Find("Btn_1")->click();
        rig.files.push_back(QStringLiteral("/no/such/file.hex"));
        rig.Find("Btn_1")->click();
        QCOMPARE(rig.Window().lines, lines);
        QVERIFY(!std::filesystem::exists(rig.Folder() / "aa.bin"));
    }

    void virtualDonglePanelPlugsAndUnplugs() {
        Rig& rig = Start(Simulated("k3r1"));
        auto* panel = new VirtualDonglePanel(rig.SharedDongle(), &rig.Window());
        panel->show();
        QVERIFY(panel->isWindow());
        QCOMPARE(rig.Window().size(), rig.Window().minimumSize());

        auto* unplug = panel->findChild<QPushButton*>(QStringLiteral("UnplugButton"));
        auto* plug = panel->findChild<QPushButton*>(QStringLiteral("PlugButton"));
        QVERIFY(unplug->isEnabled() && !plug->isEnabled());
        QTest::mouseClick(unplug, Qt::LeftButton);
        QVERIFY(!rig.Dongle().Plugged());
        rig.Window().Timer_SysPollingTimer();
        QCOMPARE(rig.Window().lines.back(), "red: USB Dongle NOT Connected!");
        QTest::mouseClick(plug, Qt::LeftButton);
        QVERIFY(rig.Dongle().Plugged());
        rig.Window().Timer_SysPollingTimer();
        QCOMPARE(rig.Window().lines.back(), "blue: USB Dongle Connected!");
        QCOMPARE(panel->findChild<QLabel*>(QStringLiteral("DongleState"))->text(),
                 QStringLiteral("Plugged in"));
    }

  private:
    static WriterApplication& App() { return *qobject_cast<WriterApplication*>(qApp); }

    Rig& Start(const session::SessionOptions& options) {
        rig_ = std::make_unique<Rig>(options);
        if (!rig_->Ready()) qFatal("the session could not be set up");
        rig_->Open();
        return *rig_;
    }

    std::unique_ptr<Rig> rig_;
};

QDM_GUI_TEST("Shell", ShellTest);

}  // namespace qdm::test

#include "ShellTest.moc"
