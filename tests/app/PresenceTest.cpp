// The start-up check and the presence state machine: what the status line says and which
// buttons work as the dongle comes and goes.

#include <QtTest/QtTest>

#include "app/Mainprocess.h"
#include "tests/app/GuiTest.h"
#include "tests/app/WindowRig.h"

namespace qdm::test {

using Lines = std::vector<std::string>;

class PresenceTest : public QObject {
    Q_OBJECT

  private slots:
    void cleanup() { rig_.reset(); }

    void startWithoutDongleThenPlug() {
        Rig& rig = Start(Simulated("k3r8", {"absent"}));
        QCOMPARE(rig.Window().lines, Lines{"red: USB Dongle NOT Connected!"});
        QVERIFY(!rig.Find("Btn_Download")->isEnabled());
        QVERIFY(!rig.Find("Btn_DBRst")->isEnabled());
        QCOMPARE(State().DongleConnected, 0);

        rig.Window().Timer_SysPollingTimer();
        QCOMPARE(rig.Window().lines.size(), 1u);  // still absent: nothing new

        rig.Dongle().Plug();
        rig.Window().Timer_SysPollingTimer();
        QCOMPARE(rig.Window().lines.back(), "blue: USB Dongle Connected!");
        QVERIFY(rig.Find("Btn_Download")->isEnabled());
        QVERIFY(rig.Find("Btn_DBRst")->isEnabled());
        QCOMPARE(State().DongleConnected, 1);
    }

    void theTimerDrivesThePolling() {
        Rig& rig = Start(Simulated("k3r8", {"absent"}));
        auto* timer = rig.Window().findChild<QTimer*>(QStringLiteral("Timer_SysPolling"));
        timer->setInterval(1);
        rig.Dongle().Plug();
        QTRY_COMPARE(rig.Status(), std::string("USB Dongle Connected!"));
        QCOMPARE(rig.StatusColour(), std::string("blue"));
    }

    void unplugGivesOneRedMessage() {
        Rig& rig = Start(Simulated("k3r8"));
        QCOMPARE(rig.Window().lines, Lines{"blue: USB Dongle Connected!"});
        State().FirmwareLoaded = 1;
        rig.Dongle().Unplug();
        for (int tick = 0; tick < 4; ++tick)
            rig.Window().Timer_SysPollingTimer();
        QCOMPARE(rig.Window().lines,
                 (Lines{"blue: USB Dongle Connected!", "red: USB Dongle NOT Connected!"}));
        QVERIFY(!rig.Find("Btn_Download")->isEnabled());
        QCOMPARE(State().FirmwareLoaded, 0);
        QCOMPARE(State().DongleConnected, 0);
    }

    void connectedDongleIsLeftAlone() {
        Rig& rig = Start(Simulated("k3r8"));
        rig.Window().Timer_SysPollingTimer();
        rig.Window().Timer_SysPollingTimer();
        QCOMPARE(rig.Window().lines.size(), 1u);
        QCOMPARE(State().DongleConnected, 1);
    }

    void foreignProductIdChangesNothing() {
        Rig& rig = Start(Simulated("k3r8", {"absent", "foreign"}));
        QCOMPARE(rig.Window().lines, Lines{"red: USB Dongle NOT Connected!"});
        State().FirmwareLoaded = 1;
        rig.Dongle().Plug();
        rig.Window().Timer_SysPollingTimer();
        rig.Window().Timer_SysPollingTimer();
        QCOMPARE(rig.Window().lines.size(), 1u);
        QVERIFY(!rig.Find("Btn_Download")->isEnabled());
        QCOMPARE(State().DongleConnected, 0);
        QCOMPARE(State().FirmwareLoaded, 0);
    }

    void foreignDongleAtStartIsNotConnected() {
        Rig& rig = Start(Simulated("k3r8", {"foreign"}));
        QCOMPARE(rig.Window().lines, Lines{"red: USB Dongle NOT Connected!"});
        QCOMPARE(State().DetectedPID, "0x8613");
    }

    void hardwareVersionFailureThenFirstTickConnects() {
        // The first command list, the version query, gets no answer.
        Rig& rig = Start(Simulated("k3r8", {"noreply@1"}));
        QCOMPARE(rig.Window().lines, Lines{"red: USB Dongle hardware version error!"});
        QVERIFY(!rig.Find("Btn_Download")->isEnabled());
        const auto exchanges = rig.Dongle().ExchangeCount();
        rig.Window().Timer_SysPollingTimer();
        QCOMPARE(rig.Window().lines.back(), "blue: USB Dongle Connected!");
        QVERIFY(rig.Find("Btn_Download")->isEnabled());
        // The tick accepts the dongle on its identifiers alone.
        QCOMPARE(rig.Dongle().ExchangeCount(), exchanges);
    }

    void missingFirmwareFileShowsErrorCode() {
        session::SessionOptions options = Simulated("k3r8");
        options.firmware =
            (std::filesystem::temp_directory_path() / "qdm-no-such-dir" / "DWTB.TBH").string();
        Rig& rig = Start(options);
        // The colour stays the form's blue; no presence check was made.
        QCOMPARE(rig.Window().lines, Lines{"blue: ErrCode:M=0x01, S=0x01"});
        QCOMPARE(State().DongleConnected, 0);
        QCOMPARE(rig.Find<QComboBox>("CBox_DownloadPID")->count(), 13);
        QVERIFY(rig.Window().findChild<QTimer*>(QStringLiteral("Timer_SysPolling"))->isActive());
        rig.Window().Timer_SysPollingTimer();
        QCOMPARE(rig.Window().lines.back(), "blue: USB Dongle Connected!");
    }

    void failedTickShowsErrorCodeAndKeepsTheFlags() {
        Rig& rig = Start(Simulated("k3r8", {"absent"}));
        State().FirmwareLoaded = 1;
        // Closing the device handle fails: the USB layer raises.
        rig.Dongle().Plug();
        rig.Driver().SetCloseDeviceFails(true);
        rig.Window().Timer_SysPollingTimer();
        QCOMPARE(rig.Window().lines.back(), "red: ErrCode:M=0x01, S=0x02");
        QCOMPARE(State().DongleConnected, 0);
        QCOMPARE(State().FirmwareLoaded, 1);
        rig.Driver().SetCloseDeviceFails(false);
        rig.Window().Timer_SysPollingTimer();
        QCOMPARE(rig.Window().lines.back(), "blue: USB Dongle Connected!");
    }

    void busyTickTouchesNoDongle() {
        Rig& rig = Start(Simulated("k3r8", {"absent"}));
        rig.Dongle().Plug();
        State().OperationBusy = 1;
        State().DetectedVID = "0x04B4";
        const auto opens = rig.Driver().OpensAttempted();
        rig.Window().Timer_SysPollingTimer();
        QCOMPARE(rig.Driver().OpensAttempted(), opens);
        QVERIFY(State().DetectedVID.empty());
        QCOMPARE(rig.Window().lines.size(), 1u);
        State().OperationBusy = 0;
    }

  private:
    Rig& Start(const session::SessionOptions& options) {
        rig_ = std::make_unique<Rig>(options);
        if (!rig_->Ready()) qFatal("the session could not be set up");
        rig_->Open();
        return *rig_;
    }

    std::unique_ptr<Rig> rig_;
};

QDM_GUI_TEST("Presence", PresenceTest);

}  // namespace qdm::test

#include "PresenceTest.moc"
