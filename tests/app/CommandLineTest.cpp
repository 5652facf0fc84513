// FormCreate's "EXPG" rule through the window, and the window program's own options taken out
// of the command line before it.

#include <QtTest/QtTest>

#include "app/Mainprocess.h"
#include "app/WindowOptions.h"
#include "tests/app/GuiTest.h"
#include "tests/app/WindowRig.h"

namespace qdm::test {

using Args = std::vector<std::string>;

class CommandLineTest : public QObject {
    Q_OBJECT

  private slots:
    void cleanup() { rig_.reset(); }

    void expgRule_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("label");
        const QString caption = "Click Download to download the data to the flash memory";
        QTest::newRow("file") << QStringList{"EXPG", "a.bin"} << 1 << "a.bin ";
        QTest::newRow("path with a blank, lower case")
            << QStringList{"expg", "C:\\My", "Files\\a.bin"} << 1 << "C:\\My Files\\a.bin ";
        QTest::newRow("EXPG alone") << QStringList{"EXPG"} << 0 << caption;
        QTest::newRow("another word") << QStringList{"PROG", "a.bin"} << 0 << caption;
        QTest::newRow("nothing") << QStringList{} << 0 << caption;
    }
    void expgRule() {
        QFETCH(QStringList, arguments);
        QFETCH(int, mode);
        QFETCH(QString, label);
        Args args;
        for (const QString& a : arguments)
            args.push_back(a.toStdString());
        rig_ = std::make_unique<Rig>(Simulated("mcurom"));
        rig_->Open(args);
        QCOMPARE(int{State().ExpgMode}, mode);
        if (mode == 1) QCOMPARE(QString::fromStdString(State().ExpgFileText), label);
        QCOMPARE(rig_->Find<QLabel>("Lab_LoadFile")->text(), label);
        QCOMPARE(State().SavedAgentIndex, 6);
        QCOMPARE(rig_->Window().windowTitle(), QStringLiteral("QDM-OTP Programmer for Writer"));
    }

    void ownOptionsComeOutFirst() {
        std::string error;
        const auto line =
            ParseWindowCommandLine({"--simulate", "mcurom", "EXPG", "--trace=t.pcap", "C:\\My",
                                    "Files\\a.bin", "--sim-fault", "busy", "--firmware", "fw.tbh"},
                                   error);
        QVERIFY2(line.has_value(), error.c_str());
        QCOMPARE(line->session.simulate.value_or(""), "mcurom");
        QCOMPARE(line->session.trace.value_or(""), "t.pcap");
        QCOMPARE(line->session.firmware.value_or(""), "fw.tbh");
        QCOMPARE(line->session.simFaults, Args{"busy"});
        QCOMPARE(line->rest, (Args{"EXPG", "C:\\My", "Files\\a.bin"}));
        // What is left is FormCreate's.
        QVERIFY(FormCreateState(line->rest));
        QCOMPARE(State().ExpgFileText, "C:\\My Files\\a.bin ");
        ResetProgramState();
    }

    void doubleDashEndsOurOptions() {
        std::string error;
        const auto line =
            ParseWindowCommandLine({"--screenshot", "w.png", "--", "EXPG", "--simulate"}, error);
        QVERIFY(line.has_value());
        QCOMPARE(line->screenshot.value_or(""), "w.png");
        QVERIFY(!line->session.simulate);
        QCOMPARE(line->rest, (Args{"EXPG", "--simulate"}));
    }

    void badCommandLines() {
        std::string error;
        QVERIFY(!ParseWindowCommandLine({"--simulate"}, error));
        QCOMPARE(error, "--simulate needs a value");
        QVERIFY(!ParseWindowCommandLine({"--sim-fault", "busy"}, error));
        QCOMPARE(error, "--sim-dump and --sim-fault need --simulate");
        QVERIFY(!ParseWindowCommandLine({"--screenshot"}, error));
        QVERIFY(ParseWindowCommandLine({"--help"}, error)->help);
        QVERIFY(ParseWindowCommandLine({"--version"}, error)->version);
        QVERIFY(WindowUsageText().find("--simulate BOARD") != std::string::npos);
    }

  private:
    std::unique_ptr<Rig> rig_;
};

QDM_GUI_TEST("CommandLine", CommandLineTest);

}  // namespace qdm::test

#include "CommandLineTest.moc"
