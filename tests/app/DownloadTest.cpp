// Whole downloads started by clicking "D O W N L O A D" against the virtual dongle, and what the
// window keeps doing and refuses to do while one runs.

#include <QtCore/QElapsedTimer>
#include <QtCore/QFile>
#include <QtTest/QtTest>

#include "app/Mainprocess.h"
#include "sim/Demoboard.h"
#include "sim/K3r1Board.h"
#include "sim/K3r8Board.h"
#include "tests/app/GuiTest.h"
#include "tests/app/WindowRig.h"
#include "usb/Fileiofunctions.h"
#include "workflows/Mcurom_codec.h"
#include "workflows/RomImage.h"

namespace qdm::test {

namespace {
const QString kSample = QStringLiteral(QDM_SAMPLES_DIR "/QL020_PB_RV24.bin");
constexpr std::size_t kHeader = 16;

std::vector<std::uint8_t> SamplePayload() {
    QFile file(kSample);
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QByteArray bytes = file.readAll().mid(kHeader);
    return {bytes.begin(), bytes.end()};
}

bool Holds(const sim::SerialFlash& chip, const std::vector<std::uint8_t>& image) {
    const auto contents = chip.Contents();
    return !image.empty() && std::equal(image.begin(), image.end(), contents.begin());
}

// The longest time between two ticks of a fast timer while `action` runs, in milliseconds.
class StallProbe {
  public:
    StallProbe() {
        timer_.setInterval(2);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            longest_ = std::max(longest_, clock_.restart());
            ++ticks_;
        });
    }
    template <class Action>
    void Measure(Action action) {
        QElapsedTimer whole;
        whole.start();
        clock_.start();
        timer_.start();
        action();
        timer_.stop();
        longest_ = std::max(longest_, clock_.elapsed());
        total_ = whole.elapsed();
    }
    [[nodiscard]] qint64 Longest() const { return longest_; }
    [[nodiscard]] int Ticks() const { return ticks_; }
    [[nodiscard]] qint64 Total() const { return total_; }

  private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 longest_ = 0;
    qint64 total_ = 0;
    int ticks_ = 0;
};

QString LargestImage(const std::filesystem::path& folder) {
    std::vector<std::uint8_t> plain(0x40000);
    std::uint32_t x = 11;
    for (auto& b : plain) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    plain[0] = 0xC8;  // a first byte the key search accepts
    const auto container =
        WrapRomContainer(MakeChainedImage(plain, AgentKey(kBuiltInAgentIndex)), 0x20, 11, false);
    const auto file = folder / "QN080.bin";
    WriteFileFrom(container.value(), file);
    return QFile::decodeName(file.string().c_str());
}

#if defined(__SANITIZE_ADDRESS__)
constexpr qint64 kStallBoundMs = 300;  // the sanitizers slow every step several times over
#else
constexpr qint64 kStallBoundMs = 100;
#endif
}  // namespace

class DownloadTest : public QObject {
    Q_OBJECT

  private slots:
    void cleanup() { rig_.reset(); }

    void clickRunsTheWholeDownload_data() {
        QTest::addColumn<QString>("board");
        QTest::newRow("k3r8") << "k3r8";
        QTest::newRow("k3r1") << "k3r1";
        QTest::newRow("demoboard") << "demoboard";
    }
    void clickRunsTheWholeDownload() {
        QFETCH(QString, board);
        Rig& rig = Start(board.toStdString());
        rig.files.push_back(kSample);
        QTest::mouseClick(rig.Find("Btn_Download"), Qt::LeftButton);

        QVERIFY2(rig.Window().LastOutcome().Succeeded(),
                 rig.Window().LastOutcome().message.c_str());
        QCOMPARE(rig.dialogs, 1);
        const auto& lines = rig.Window().lines;
        QVERIFY(std::find(lines.begin(), lines.end(), "blue: Serial Flash Data Verify OK !") !=
                lines.end());
        const bool demo = board == "demoboard";
        QCOMPARE(rig.Status(),
                 std::string(demo ? "Demoboard reset OK!!" : "Serial Flash Data Verify OK !"));
        QCOMPARE(rig.StatusColour(), std::string("blue"));
        QCOMPARE(rig.Find("Btn_DBRst")->isVisible(), demo);
        // The run hands everything back.
        QCOMPARE(State().OperationBusy, 0);
        QVERIFY(!rig.Window().RunActive());
        QVERIFY(rig.Find("Btn_Download")->isEnabled());
        QVERIFY(rig.Window().findChild<QTimer*>(QStringLiteral("Timer_SysPolling"))->isActive());
        QVERIFY(!rig.Window().findChild<QTimer*>(QStringLiteral("Timer_MsgPolling"))->isActive());
        QCOMPARE(State().FirmwareLoaded, 1);

        const auto image = SamplePayload();
        if (auto* k3r8 = rig.Dongle().K3r8()) {
            for (std::size_t chip = 0; chip < 4; ++chip)
                QVERIFY(Holds(k3r8->Chip(chip), image));
        } else if (auto* k3r1 = rig.Dongle().K3r1()) {
            QVERIFY(Holds(k3r1->Chip(), image));
        } else {
            // The demoboard holds the unscrambled image and is released again.
            QVERIFY(!rig.Dongle().Demo()->Held());
            QVERIFY(rig.Dongle().Demo()->Chip().Contents()[0] != 0xFF);
        }
    }

    void eventLoopKeepsRunning_data() {
        QTest::addColumn<QString>("board");
        QTest::newRow("k3r8") << "k3r8";
        QTest::newRow("k3r1") << "k3r1";
    }
    void eventLoopKeepsRunning() {
        QFETCH(QString, board);
        Rig& rig = Start(board.toStdString());
        // The largest image a writer board takes (QN080, 256 KiB), for the longest run.
        rig.files.push_back(LargestImage(rig.Folder()));
        StallProbe probe;
        probe.Measure([&] { QTest::mouseClick(rig.Find("Btn_Download"), Qt::LeftButton); });
        QVERIFY(rig.Window().LastOutcome().Succeeded());
        qInfo("%s: longest event loop stall %lld ms in a run of %lld ms (%d probe ticks)",
              qPrintable(board), static_cast<long long>(probe.Longest()),
              static_cast<long long>(probe.Total()), probe.Ticks());
        // The probe ran inside the run, not only after it.
        QVERIFY(probe.Ticks() > 1);
        QVERIFY2(probe.Longest() < kStallBoundMs, "the event loop stalled");
    }

    void secondClickCannotStartASecondRun() {
        Rig& rig = Start("k3r8");
        rig.files.push_back(kSample);
        rig.files.push_back(kSample);
        bool disabledDuringRun = false;
        DuringRun([&] {
            auto* button = rig.Find("Btn_Download");
            disabledDuringRun = !button->isEnabled();
            QTest::mouseClick(button, Qt::LeftButton);
            // Even a click that got past the button finds the run going on.
            rig.Window().Btn_DownloadClick();
        });
        QTest::mouseClick(rig.Find("Btn_Download"), Qt::LeftButton);
        QVERIFY(disabledDuringRun);
        QVERIFY(rig.Window().LastOutcome().Succeeded());
        QCOMPARE(rig.dialogs, 1);
        QCOMPARE(rig.files.size(), 1u);
    }

    void pollingDuringRunTouchesNoDongle() {
        Rig& rig = Start("k3r1");
        rig.files.push_back(kSample);
        std::uint64_t opensBefore = 0;
        std::uint64_t opensAfter = 0;
        bool pollingStopped = false;
        DuringRun([&] {
            pollingStopped =
                !rig.Window().findChild<QTimer*>(QStringLiteral("Timer_SysPolling"))->isActive();
            opensBefore = rig.Driver().OpensAttempted();
            rig.Window().Timer_SysPollingTimer();
            opensAfter = rig.Driver().OpensAttempted();
        });
        QTest::mouseClick(rig.Find("Btn_Download"), Qt::LeftButton);
        QVERIFY(rig.Window().LastOutcome().Succeeded());
        QVERIFY(pollingStopped);
        QVERIFY(opensBefore > 0);
        QCOMPARE(opensAfter, opensBefore);
    }

    void closingWaitsForTheRun() {
        Rig& rig = Start("k3r8");
        rig.files.push_back(kSample);
        bool closedDuringRun = true;
        DuringRun([&] { closedDuringRun = rig.Window().close(); });
        QTest::mouseClick(rig.Find("Btn_Download"), Qt::LeftButton);
        QVERIFY(!closedDuringRun);
        QVERIFY(rig.Window().LastOutcome().Succeeded());
        QVERIFY(rig.Window().close());
    }

    void failureInTheMiddleStaysReadable() {
        Rig& rig = Start("k3r8");
        rig.files.push_back(kSample);
        // From the first pump (the erase stage) on, the USB layer raises on every close.
        DuringRun([&] { rig.Driver().SetCloseDeviceFails(true); });
        QTest::mouseClick(rig.Find("Btn_Download"), Qt::LeftButton);
        rig.Driver().SetCloseDeviceFails(false);
        QCOMPARE(rig.Window().LastOutcome().result, RunResult::Failed);
        QCOMPARE(rig.StatusColour(), std::string("red"));
        // No progress display is left running to write over the failure.
        QVERIFY(!rig.Window().findChild<QTimer*>(QStringLiteral("Timer_MsgPolling"))->isActive());
        QVERIFY(rig.Find("Btn_Download")->isEnabled());
    }

    void cancelledDialogEndsQuietly() {
        Rig& rig = Start("k3r8");
        QTest::mouseClick(rig.Find("Btn_Download"), Qt::LeftButton);
        QCOMPARE(rig.Window().LastOutcome().result, RunResult::Cancelled);
        QVERIFY(rig.Find("Btn_Download")->isEnabled());
        QCOMPARE(State().OperationBusy, 0);
    }

    void noDongleIsAMessageBox() {
        Rig& rig = Start("k3r8");
        rig.Dongle().Unplug();
        rig.Window().Btn_DownloadClick();
        QCOMPARE(rig.messages, std::vector<QString>{QStringLiteral("USB Not Found!!")});
        QCOMPARE(rig.captions.back(), QCoreApplication::applicationName());
        QCOMPARE(rig.dialogs, 0);
    }

    void demoboardResetButton() {
        Rig& rig = Start("demoboard");
        rig.files.push_back(kSample);
        QTest::mouseClick(rig.Find("Btn_Download"), Qt::LeftButton);
        QVERIFY(rig.Find("Btn_DBRst")->isVisible());
        rig.Window().lines.clear();
        QTest::mouseClick(rig.Find("Btn_DBRst"), Qt::LeftButton);
        QCOMPARE(rig.Window().lines, (std::vector<std::string>{"blue: Demoboard resetting!!",
                                                               "blue: Demoboard reset OK!!"}));
        QVERIFY(!rig.Dongle().Demo()->Held());
        QVERIFY(rig.Find("Btn_Download")->isEnabled());
        QCOMPARE(State().OperationBusy, 0);
    }

  private:
    Rig& Start(const std::string& board) {
        rig_ = std::make_unique<Rig>(Simulated(board));
        if (!rig_->Ready()) qFatal("the session could not be set up");
        rig_->Open();
        return *rig_;
    }

    std::unique_ptr<Rig> rig_;
};

QDM_GUI_TEST("Download", DownloadTest);

}  // namespace qdm::test

#include "DownloadTest.moc"
