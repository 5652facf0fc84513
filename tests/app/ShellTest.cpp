// Around the window: the command line, exceptions no handler caught, the hidden diagnostic
// firmware download, and demo mode's plug window.

#include <QtCore/QProcess>
#include <stdexcept>

#include "app/VirtualDonglePanel.h"
#include "app/WindowOptions.h"
#include "app/WriterApplication.h"
#include "sim/StandInFirmware.h"
#include "state/Mainprocess.h"
#include "tests/app/WindowRig.h"
#include "usb/Fileiofunctions.h"

namespace qdm::test {

namespace {
struct Throwing final : QObject {
    bool standard = true;
    bool event(QEvent* event) override {
        if (event->type() != QEvent::User) return QObject::event(event);
        if (standard) throw std::runtime_error("boom");
        throw 42;
    }
};
}  // namespace

class ShellTest : public QObject {
    Q_OBJECT

  private slots:
    void expgCommandLines_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("label");
        const QString caption = "Click Download to download the data to the flash memory";
        QTest::newRow("file") << QStringList{"EXPG", "a.bin"} << "a.bin ";
        QTest::newRow("path with a blank")
            << QStringList{"expg", "C:\\My", "Files\\a.bin"} << "C:\\My Files\\a.bin ";
        QTest::newRow("EXPG alone") << QStringList{"EXPG"} << caption;
        QTest::newRow("other word") << QStringList{"PROG", "a.bin"} << caption;
    }
    void expgCommandLines() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, label);
        std::vector<std::string> args;
        for (const QString& a : arguments)
            args.push_back(a.toStdString());
        // The window program's own options come out first, Qt's are passed over; FormCreate gets
        // the rest.
        args.insert(args.begin() + 1,
                    {"--simulate", "mcurom", "-style", "fusion", "--trace=t.pcap", "-reverse"});
        std::string error;
        const auto line = ParseWindowCommandLine(args, error);
        QVERIFY(line && line->session.simulate == "mcurom" && line->session.trace == "t.pcap");
        QVERIFY(!ParseWindowCommandLine({"--sim-fault", "busy"}, error));  // needs --simulate
        QVERIFY(!ParseWindowCommandLine({"--log", "a.jsonl", "--no-log"}, error));
        const auto logged = ParseWindowCommandLine({"--log=a.jsonl", "EXPG", "x.bin"}, error);
        QVERIFY(logged && logged->log == "a.jsonl" && logged->rest.size() == 2);
        Rig rig("mcurom");
        rig.Open(line->rest);
        QCOMPARE(int{State().ExpgMode}, label.endsWith(' ') ? 1 : 0);
        QCOMPARE(rig.Find<QLabel>("Lab_LoadFile")->text(), label);
        if (State().ExpgMode == 1) QCOMPARE(QString::fromStdString(State().ExpgFileText), label);
        QCOMPARE(State().SavedAgentIndex, 6);
    }

    void longFileLabelKeepsTheFileName() {
        const std::string path = "/home/operator/" + std::string(120, 'x') + "/QL020_PB_RV24.bin";
        Rig rig("mcurom");
        rig.Open({"EXPG", path});
        const QLabel* label = rig.Find<QLabel>("Lab_LoadFile");
        QVERIFY(label->text().contains(QChar(0x2026)));
        QVERIFY(label->text().startsWith("/home/"));
        QVERIFY(label->text().endsWith("QL020_PB_RV24.bin "));
        QCOMPARE(label->toolTip(), QString::fromStdString(path + " "));
        QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <=
                label->contentsRect().width());
    }

    void missingFirmwareFileIsExplainedOnStderr() {
        if (QFile::exists(QFileInfo(QDM_WRITER_PATH).dir().filePath("DWTB.TBH")))
            QSKIP("a firmware file lies beside the program");
        const QTemporaryDir home;
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_DATA_HOME", home.path());
        program.setProcessEnvironment(environment);
        program.start(QDM_WRITER_PATH, {"--no-log", "--screenshot", home.filePath("w.png")});
        QVERIFY(program.waitForFinished(20000));
        const QString err = QString::fromLocal8Bit(program.readAllStandardError());
        QVERIFY2(err.contains("DWTB.TBH was not found"), qPrintable(err));
        QVERIFY2(err.contains(home.filePath("qdm-writer/DWTB.TBH")), qPrintable(err));
        QVERIFY2(err.contains("--firmware FILE"), qPrintable(err));
    }

    void optionsAreCheckedBeforeAnyDisplay_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown option") << QStringList{"--simualte", "k3r8"} << 2 << "--simualte";
        QTest::newRow("unknown board") << QStringList{"--simulate", "k3r9"} << 2 << "k3r9";
        QTest::newRow("unknown fault")
            << QStringList{"--simulate", "k3r8", "--sim-fault", "frob"} << 2 << "no such fault";
        QTest::newRow("no value") << QStringList{"--log"} << 2 << "--log needs a FILE";
        QTest::newRow("trace") << QStringList{"--simulate", "k3r8", "--trace", "/no/such/t.pcap"}
                               << 5 << "cannot create the trace file";
        QTest::newRow("device not attached")
            << QStringList{"--simulate", "k3r8,k3r1", "--device", "sim:3"} << 3
            << "no dongle sim:3 is attached (attached: sim:1, sim:2;";
    }
    void optionsAreCheckedBeforeAnyDisplay() {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, message);
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(name);
        program.setProcessEnvironment(environment);
        program.start(QDM_WRITER_PATH, arguments);
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), status);
        QVERIFY2(program.readAllStandardError().contains(message.toUtf8()), qPrintable(message));
    }

    void uncaughtExceptionIsShownAndTheLoopGoesOn() {
        auto& app = *qobject_cast<WriterApplication*>(qApp);
        std::vector<QString> reports;
        app.SetExceptionReport([&](const QString& text) { reports.push_back(text); });
        Throwing object;
        for (const bool standard : {true, false}) {
            object.standard = standard;
            QCoreApplication::postEvent(&object, new QEvent(QEvent::User));
            QCoreApplication::processEvents();
        }
        app.SetExceptionReport(nullptr);
        QCOMPARE(reports, (std::vector<QString>{"boom", ""}));

        // What a handler of the window lets escape is shown the same way.
        Rig rig("k3r8");
        rig.Open();
        rig.onDialog = [] { throw std::runtime_error("dialog broke"); };
        rig.Find("Btn_1")->click();
        QCOMPARE(rig.exceptions, std::vector<QString>{"dialog broke"});
        QVERIFY(!rig.Window().RunActive());
    }

    void diagnosticFirmwareDownload() {
        Rig rig("k3r8");
        rig.Open();
        const auto hex = rig.Folder() / "plain.hex";
        const std::string text = sim::StandInFirmwareHex();
        WriteFileFrom({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, hex);
        rig.Find("Btn_1")->click();  // cancelled
        rig.files = {"/no/such/file.hex", QString::fromStdString(hex.string())};
        rig.Find("Btn_1")->click();  // silent
        QCOMPARE(rig.Shown().size(), 1u);
        rig.Window().SetStatusColour(StatusColour::Red);
        rig.Find("Btn_1")->click();
        QCOMPARE(rig.Shown().back(), "red: Firmware Download OK..");
        QCOMPARE(rig.Dongle().State(), sim::FirmwareState::Writer);
        std::vector<std::uint8_t> image(kDiagnosticImageSize + 1);
        QCOMPARE(ReadFileInto(rig.Folder() / "aa.bin", image), kDiagnosticImageSize);
        for (const sim::FirmwareRecord& record : sim::StandInFirmwareRecords())
            for (std::size_t i = 0; i < record.data.size() && record.address + i < 0x4000; ++i)
                QCOMPARE(image[record.address + i], record.data[i]);

        rig.Dongle().Unplug();
        rig.files = {QString::fromStdString(hex.string())};
        rig.Find("Btn_1")->click();
        QCOMPARE(rig.Shown().back(), "red: Firmware Download Fail..");
    }

    void plugWindowPlugsAndUnplugs() {
        Rig rig("k3r1");
        rig.Open();
        auto* panel = new VirtualDonglePanel(rig.SharedDongle(), &rig.Window());
        panel->show();
        QVERIFY(panel->isWindow());
        QCOMPARE(rig.Window().size(), rig.Window().minimumSize());  // the window is untouched
        auto* plug = panel->findChild<QPushButton*>("PlugButton");
        auto* unplug = panel->findChild<QPushButton*>("UnplugButton");
        QVERIFY(unplug->isEnabled() && !plug->isEnabled());
        QTest::mouseClick(unplug, Qt::LeftButton);
        rig.Tick();
        QCOMPARE(rig.Shown().back(), "red: USB Dongle NOT Connected!");
        QTest::mouseClick(plug, Qt::LeftButton);
        rig.Tick();
        QCOMPARE(rig.Shown().back(), "blue: USB Dongle Connected!");
        QCOMPARE(panel->findChild<QLabel*>("DongleState")->text(), QStringLiteral("Plugged in"));
    }
};

}  // namespace qdm::test

QDM_GUI_TEST_MAIN(qdm::test::ShellTest)
#include "ShellTest.moc"
