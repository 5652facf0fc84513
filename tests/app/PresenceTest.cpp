// The start-up check and the presence state machine: what the status line says and which
// buttons work as the dongle comes and goes.

#include <filesystem>
#include <fstream>

#include "state/Mainprocess.h"
#include "tests/app/WindowRig.h"

namespace qdm::test {

class PresenceTest : public QObject {
    Q_OBJECT

  private slots:
    void startWithoutDongleThenPlugThenUnplug() {
        Rig rig("k3r8", {"absent"});
        rig.Open();
        QCOMPARE(rig.Shown(), Lines{"red: USB Dongle NOT Connected!"});
        QVERIFY(!rig.Find("Btn_Download")->isEnabled() && !rig.Find("Btn_DBRst")->isEnabled());
        rig.Tick();
        rig.Dongle().Plug();
        rig.Tick();
        QCOMPARE(rig.Shown(),
                 (Lines{"red: USB Dongle NOT Connected!", "blue: USB Dongle Connected!"}));
        QVERIFY(rig.Find("Btn_Download")->isEnabled() && rig.Find("Btn_DBRst")->isEnabled());
        rig.Tick();  // connected: nothing to say
        State().FirmwareLoaded = 1;
        rig.Dongle().Unplug();
        for (int tick = 0; tick < 3; ++tick)
            rig.Tick();
        QCOMPARE(rig.Shown().size(), 3u);
        QCOMPARE(rig.Shown().back(), "red: USB Dongle NOT Connected!");
        QVERIFY(!rig.Find("Btn_Download")->isEnabled());
        QVERIFY(State().FirmwareLoaded == 0 && State().DongleConnected == 0);
    }

    void theTimerRunsThePolling() {
        Rig rig("k3r8", {"absent"});
        rig.Open();
        rig.Find<QTimer>("Timer_SysPolling")->setInterval(1);
        rig.Dongle().Plug();
        QTRY_COMPARE(rig.Status(), QStringLiteral("USB Dongle Connected!"));
    }

    void foreignProductIdChangesNothing() {
        Rig rig("k3r8", {"absent", "foreign"});
        rig.Open();
        State().FirmwareLoaded = 1;
        rig.Dongle().Plug();
        rig.Tick();
        rig.Tick();
        QCOMPARE(rig.Shown(), Lines{"red: USB Dongle NOT Connected!"});
        QVERIFY(!rig.Find("Btn_Download")->isEnabled());
        QVERIFY(State().DongleConnected == 0 && State().FirmwareLoaded == 0);
    }

    void hardwareVersionFailureThenTheFirstTickConnects() {
        Rig rig("k3r8", {"noreply@1"});  // the version query gets no answer
        rig.Open();
        QCOMPARE(rig.Shown(), Lines{"red: USB Dongle hardware version error!"});
        QVERIFY(!rig.Find("Btn_Download")->isEnabled());
        const auto exchanges = rig.Dongle().ExchangeCount();
        rig.Tick();
        QCOMPARE(rig.Shown().back(), "blue: USB Dongle Connected!");
        QVERIFY(rig.Find("Btn_Download")->isEnabled());
        QCOMPARE(rig.Dongle().ExchangeCount(), exchanges);  // identifiers alone
    }

    void missingFirmwareFileShowsTheErrorCode() {
        // The program refuses a --firmware file it cannot read before the window opens; this one
        // goes away between the two.
        const std::filesystem::path file =
            std::filesystem::temp_directory_path() / "qdm-presence-DWTB.TBH";
        std::ofstream(file) << "x";
        Rig rig("k3r8", {}, file.string());
        std::filesystem::remove(file);
        rig.Open();
        // No presence check; the colour stays the form's blue; the rest of FormShow goes on.
        QCOMPARE(rig.Shown(), Lines{"blue: ErrCode:M=0x01, S=0x01"});
        QCOMPARE(rig.Find<QComboBox>("CBox_DownloadPID")->count(), 13);
        rig.Tick();
        QCOMPARE(rig.Shown().back(), "blue: USB Dongle Connected!");
    }

    void failedTickShowsTheErrorCodeAndKeepsTheFlags() {
        Rig rig("k3r8", {"absent"});
        rig.Open();
        State().FirmwareLoaded = 1;
        rig.Dongle().Plug();
        rig.Driver().SetCloseDeviceFails(true);  // the USB layer raises
        rig.Tick();
        QCOMPARE(rig.Shown().back(), "red: ErrCode:M=0x01, S=0x02");
        QVERIFY(State().DongleConnected == 0 && State().FirmwareLoaded == 1);
        QCOMPARE(ErrorCodeText(0x1F, 0x100), "ErrCode:M=0x1F, S=0x100");
    }

    void busyTickTouchesNoDongle() {
        Rig rig("k3r8", {"absent"});
        rig.Open();
        rig.Dongle().Plug();
        State().OperationBusy = 1;
        State().DetectedVID = "0x04B4";
        const auto opens = rig.Driver().OpensAttempted();
        rig.Tick();
        QCOMPARE(rig.Driver().OpensAttempted(), opens);
        QVERIFY(State().DetectedVID.empty());
        QCOMPARE(rig.Shown().size(), 1u);
    }
};

}  // namespace qdm::test

QDM_GUI_TEST_MAIN(qdm::test::PresenceTest)
#include "PresenceTest.moc"
