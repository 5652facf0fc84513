// The About box's version text read back from a file, and the hidden agent display behind the
// Ctrl + right Alt double-click.

#include <QtGui/QKeyEvent>

#include "app/FileVersion.h"
#include "state/DiagnosticLog.h"
#include "state/Mainprocess.h"
#include "tests/app/WindowRig.h"
#include "usb/Fileiofunctions.h"

namespace qdm::test {

class AboutAgentTest : public QObject {
    Q_OBJECT

  private slots:
    void init() {
        rig_ = std::make_unique<Rig>("k3r8");
        rig_->Open();
    }
    void cleanup() { rig_.reset(); }

    void aboutText_data() {
        QTest::addColumn<QString>("version");  // "-": no version block at all
        QTest::addColumn<QString>("shown");
        QTest::newRow("1.2.3.4") << "1.2.3.4"
                                 << "1.2.3.4";
        QTest::newRow("none") << "-" << QString(64, QChar(0xAA));
        // 63 characters copied, then the buffer's last byte, still the filler.
        QTest::newRow("70 characters") << QString(70, '7') << QString(63, '7') + QChar(0xAA);
    }
    void aboutText() {
        QFETCH(QString, version);
        QFETCH(QString, shown);
        std::vector<std::uint8_t> bytes(3000, 0x90);  // a "program" with the block inside
        if (version != "-") {
            const auto block = ProgramVersionBlock(version.toStdString());
            bytes.insert(bytes.begin() + 1234, block.begin(), block.end());
        }
        rig_->versionFile = rig_->Folder() / "program";
        WriteFileFrom(bytes, rig_->versionFile);
        rig_->Click("Btn_About");
        QCOMPARE(rig_->messages.back(), "QDM-OTP Programmer for Writer.V-V." + shown + ".NAC");
    }

    void aboutOfTheProgramItselfAndAFailedLookup() {
        rig_->versionFile = QDM_WRITER_PATH;
        rig_->Window().Btn_AboutClick();
        QCOMPARE(rig_->messages.back(), "QDM-OTP Programmer for Writer.V-V." QDM_VERSION ".NAC");
        rig_->onVersionFile = [] { throw std::runtime_error("no path"); };
        rig_->Window().Btn_AboutClick();
        QCOMPARE(rig_->messages.back(), "QDM-OTP Programmer for Writer Version Collectting Error!");
    }

    void aboutNamesTheDiagnosticLogWhileItIsOn() {
        const auto log = rig_->Folder() / "diagnostics.log";
        std::string error;
        QVERIFY(StartDiagnosticsFile(log, error));
        rig_->versionFile = QDM_WRITER_PATH;
        rig_->Window().Btn_AboutClick();
        StopDiagnostics();
        QCOMPARE(rig_->messages.back(), "QDM-OTP Programmer for Writer.V-V." QDM_VERSION
                                        ".NAC\nDiagnostic log: " +
                                            QString::fromStdString(log.string()));
    }

    void agentDisplayNeedsCtrlAndRightAlt() {
        for (const auto& [control, rightAlt] :
             {std::pair{true, false}, {false, true}, {false, false}}) {
            rig_->keys.control = control;
            rig_->keys.rightAlt = rightAlt;
            QTest::mouseDClick(rig_->Find<QLabel>("Lab_MsgShow"), Qt::LeftButton);
        }
        QVERIFY(rig_->messages.empty());
        rig_->keys.control = rig_->keys.rightAlt = true;
        QTest::mouseDClick(rig_->Find<QLabel>("Lab_LoadFile"), Qt::LeftButton);  // does nothing
        QTest::mouseDClick(rig_->Find<QLabel>("Lab_MsgShow"), Qt::LeftButton);
        State().AgentIndex = 0;
        rig_->Window().Lab_MsgShowDblClick();
        // A row outside the table names nobody, and is not read.
        for (const std::int32_t outside : {10, -1}) {
            State().AgentIndex = outside;
            rig_->Window().Lab_MsgShowDblClick();
        }
        QCOMPARE(rig_->messages, (std::vector<QString>{"Code = PB", "Code = NoAgentExist"}));
    }

    void systemKeysTellTheRightAltApart() {
        if (QGuiApplication::platformName() != "offscreen")
            QSKIP("the window system's own key state answers here");
        SystemKeyChord keys;  // no X11 display here: its event filter answers
        const auto key = [this](bool down, int k, quint32 scan, quint32 native) {
            QKeyEvent event(down ? QEvent::KeyPress : QEvent::KeyRelease, k, {}, scan, native, 0);
            QCoreApplication::sendEvent(&rig_->Window(), &event);
        };
        const auto state = [](Qt::ApplicationState s) {
            QMetaObject::invokeMethod(qGuiApp, "applicationStateChanged",
                                      Q_ARG(Qt::ApplicationState, s));
        };
        key(true, Qt::Key_Control, 37, 0xffe3);
        key(true, Qt::Key_Alt, 64, 0xffe9);  // the left Alt
        QVERIFY(keys.ControlHeld() && !keys.RightAltHeld());
        key(true, Qt::Key_Alt, 108, 0xffea);
        QVERIFY(keys.RightAltHeld());
        key(false, Qt::Key_Alt, 108, 0xffea);
        QVERIFY(!keys.RightAltHeld());
        key(true, Qt::Key_AltGr, 108, 0xfe03);  // a layout that makes it AltGr
        QVERIFY(keys.RightAltHeld());
        state(Qt::ApplicationInactive);  // what goes up elsewhere is never seen: forget
        QVERIFY(!keys.TrackedRightAlt() && !keys.TrackedControl());
        key(true, Qt::Key_Alt, 108, 0xffea);
        state(Qt::ApplicationActive);  // activation keeps what is held
        QVERIFY(keys.TrackedRightAlt());
        key(false, Qt::Key_Alt, 108, 0xffea);
    }

  private:
    std::unique_ptr<Rig> rig_;
};

}  // namespace qdm::test

QDM_GUI_TEST_MAIN(qdm::test::AboutAgentTest)
#include "AboutAgentTest.moc"
