// Whole downloads started by clicking "D O W N L O A D" against the virtual dongle, and what the
// window keeps doing, and refuses to do, while one runs.

#include <QtCore/QElapsedTimer>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <filesystem>

#include "sim/Demoboard.h"
#include "sim/K3r1Board.h"
#include "sim/K3r8Board.h"
#include "state/Mainprocess.h"
#include "tests/app/WindowRig.h"
#include "usb/Fileiofunctions.h"
#include "workflows/Mcurom_codec.h"
#include "workflows/RomImage.h"

namespace qdm::test {

namespace {
const QString kSample = QStringLiteral(QDM_SAMPLES_DIR "/QL020_PB_RV24.bin");

#if defined(__SANITIZE_ADDRESS__)
constexpr qint64 kStallBoundMs = 300;  // the sanitizers slow every step down several times
#else
constexpr qint64 kStallBoundMs = 100;
#endif

}  // namespace

class DownloadTest : public QObject {
    Q_OBJECT

  private slots:
    void clickRunsTheWholeDownload_data() {
        QTest::addColumn<QString>("board");
        for (const char* board : {"k3r8", "k3r1", "demoboard"})
            QTest::newRow(board) << QString(board);
    }
    void clickRunsTheWholeDownload() {
        QFETCH(QString, board);
        Rig rig(board.toStdString());
        rig.Open();
        rig.files.push_back(kSample);
        rig.Click("Btn_Download");

        QVERIFY2(rig.Window().LastOutcome().Succeeded(),
                 rig.Window().LastOutcome().message.c_str());
        const Lines& shown = rig.Shown();
        QVERIFY(std::count(shown.begin(), shown.end(), "blue: Serial Flash Data Verify OK !") > 0);
        const bool demo = board == "demoboard";
        QCOMPARE(shown.back(),
                 demo ? "blue: Demoboard reset OK!!" : "blue: Serial Flash Data Verify OK !");
        QCOMPARE(rig.Find("Btn_DBRst")->isVisible(), demo);
        // Everything is handed back.
        QVERIFY(State().OperationBusy == 0 && !rig.Window().RunActive());
        QVERIFY(rig.Find("Btn_Download")->isEnabled() &&
                !rig.Find<QTimer>("Timer_MsgPolling")->isActive());
        QVERIFY(rig.Find<QTimer>("Timer_SysPolling")->isActive());

        QFile sample(kSample);
        QVERIFY(sample.open(QIODevice::ReadOnly));
        const QByteArray chained = sample.readAll().mid(16);  // behind the container header
        const sim::SerialFlash& chip = demo                  ? rig.Dongle().Demo()->Chip()
                                       : rig.Dongle().K3r8() ? rig.Dongle().K3r8()->Chip(3)
                                                             : rig.Dongle().K3r1()->Chip();
        const QByteArray held(reinterpret_cast<const char*>(chip.Contents().data()),
                              chained.size());
        // The writer boards keep the image scrambled, the demoboard gets it plain.
        QCOMPARE(held == chained, !demo);
        if (demo) {
            rig.Shown().clear();
            rig.Click("Btn_DBRst");
            QCOMPARE(rig.Shown(),
                     (Lines{"blue: Demoboard resetting!!", "blue: Demoboard reset OK!!"}));
        }
    }

    // A production line traces every chip: each run clicked in the window is one line of the run
    // log, with its file, board and ending; a cancelled file dialog programmed nothing.
    void runsAreLogged() {
        Rig rig("k3r1", {"stuck:1:0x102:7:1"});
        rig.Open();
        rig.Click("Btn_Download");  // no file chosen
        QVERIFY(!std::filesystem::exists(rig.RunLog()));
        rig.files.push_back(kSample);
        rig.Click("Btn_Download");
        QVERIFY(!rig.Window().LastOutcome().Succeeded());
        QFile log(QString::fromStdString(rig.RunLog().string()));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = log.readAll().split('\n');
        QCOMPARE(lines.size(), 2);  // one line and its line break
        const QJsonObject run = QJsonDocument::fromJson(lines[0]).object();
        QCOMPARE(run["program"].toString(), QStringLiteral("qdm-writer"));
        QCOMPARE(run["operation"].toString(), QStringLiteral("download"));
        QCOMPARE(run["simulated"].toString(), QStringLiteral("k3r1"));
        QCOMPARE(run["file"].toString(), kSample);
        QCOMPARE(run["board"].toString(), QStringLiteral("OTP Writer K3.r1"));
        QCOMPARE(run["result"].toString(), QStringLiteral("verify"));
        QCOMPARE(run["message"].toString(), rig.Status());
    }

    void eventLoopKeepsRunning_data() {
        QTest::addColumn<QString>("board");
        QTest::newRow("k3r8") << QString("k3r8");
        QTest::newRow("k3r1") << QString("k3r1");
    }
    void eventLoopKeepsRunning() {
        QFETCH(QString, board);
        Rig rig(board.toStdString());
        rig.Open();
        // The longest run a writer board has: a QN080 image, 256 KiB.
        std::vector<std::uint8_t> plain(0x40000);
        for (std::size_t i = 0; i < plain.size(); ++i)
            plain[i] = static_cast<std::uint8_t>(i * 7919 >> 5 ^ i);
        plain[0] = 0xC8;  // a first byte the key search accepts
        const auto file = rig.Folder() / "QN080.bin";
        WriteFileFrom(
            WrapRomContainer(MakeChainedImage(plain, AgentKey(6)), 0x20, 11, false).value(), file);
        rig.files.push_back(QString::fromStdString(file.string()));
        QElapsedTimer run;
        QElapsedTimer sinceTick;
        qint64 longest = 0;
        int ticks = 0;
        QTimer probe;
        probe.setInterval(2);
        QObject::connect(&probe, &QTimer::timeout, [&] {
            longest = std::max(longest, sinceTick.restart());
            ++ticks;
        });
        run.start();
        sinceTick.start();
        probe.start();
        rig.Click("Btn_Download");
        longest = std::max(longest, sinceTick.elapsed());
        QVERIFY(rig.Window().LastOutcome().Succeeded());
        qInfo("%s: longest event loop stall %lld ms in a run of %lld ms (%d probe ticks)",
              qPrintable(board), static_cast<long long>(longest),
              static_cast<long long>(run.elapsed()), ticks);
        QVERIFY(ticks > 1);  // the probe ran inside the run
        QVERIFY2(longest < kStallBoundMs, "the event loop stalled");
    }

    void nothingElseWhileARunIsGoingOn() {
        Rig rig("k3r8");
        rig.Open();
        rig.files = {kSample, kSample};
        bool disabled = false;
        bool closed = true;
        bool pollingStopped = false;
        std::uint64_t opens = 0;
        DuringRun([&] {
            disabled = !rig.Find("Btn_Download")->isEnabled();
            rig.Click("Btn_Download");
            rig.Window().Btn_DownloadClick();  // a click that got past the button
            closed = rig.Window().close();     // chips must not be left half written
            pollingStopped = !rig.Find<QTimer>("Timer_SysPolling")->isActive();
            opens = rig.Driver().OpensAttempted();
            rig.Tick();
            opens = rig.Driver().OpensAttempted() - opens;
        });
        rig.Click("Btn_Download");
        QVERIFY(rig.Window().LastOutcome().Succeeded());
        QVERIFY(disabled && !closed && pollingStopped);
        QCOMPARE(opens, 0u);
        QCOMPARE(rig.dialogs, 1);
        QVERIFY(rig.Window().close());
    }

    void failureInTheMiddleStaysReadable() {
        Rig rig("k3r8");
        rig.Open();
        rig.files.push_back(kSample);
        // From the erase stage on, the USB layer raises on every close.
        std::function<void()> atErase = [&] {
            if (rig.Status() != QStringLiteral("Erase and Blank Check!")) {
                DuringRun(atErase);
                return;
            }
            rig.Driver().SetCloseDeviceFails(true);
        };
        DuringRun(atErase);
        rig.Click("Btn_Download");
        QCOMPARE(rig.Window().LastOutcome().result, RunResult::Failed);
        QVERIFY(rig.Shown().back().rfind("red: ", 0) == 0);
        // No progress display is left running to write over it.
        QVERIFY(!rig.Find<QTimer>("Timer_MsgPolling")->isActive());
        QVERIFY(rig.Find("Btn_Download")->isEnabled());
    }
};

}  // namespace qdm::test

QDM_GUI_TEST_MAIN(qdm::test::DownloadTest)
#include "DownloadTest.moc"
