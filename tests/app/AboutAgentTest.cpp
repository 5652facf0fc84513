// The About box's version text read back from a file, and the hidden agent display behind the
// Ctrl + right Alt double-click.

#include <QtGui/QKeyEvent>
#include <QtTest/QtTest>

#include "app/FileVersion.h"
#include "app/KeyChord.h"
#include "app/Mainprocess.h"
#include "tests/app/GuiTest.h"
#include "tests/app/WindowRig.h"
#include "usb/Fileiofunctions.h"

namespace qdm::test {

namespace {
const QString kTitle = QStringLiteral("QDM-OTP Programmer for Writer.V-V.");

// A file that looks like a program with `block` somewhere in its data.
std::filesystem::path ProgramFile(const std::filesystem::path& file,
                                  const std::vector<std::uint8_t>& block) {
    std::vector<std::uint8_t> bytes(3000, 0x90);
    bytes.insert(bytes.begin() + 1234, block.begin(), block.end());
    WriteFileFrom(bytes, file);
    return file;
}

void SendKey(QWidget& target, QEvent::Type type, int key, quint32 scan, quint32 native) {
    QKeyEvent event(type, key, Qt::NoModifier, scan, native, 0);
    QCoreApplication::sendEvent(&target, &event);
}
}  // namespace

class AboutAgentTest : public QObject {
    Q_OBJECT

  private slots:
    void init() {
        rig_ = std::make_unique<Rig>(Simulated("k3r8"));
        rig_->Open();
    }
    void cleanup() { rig_.reset(); }

    void aboutShowsTheFileVersion() {
        rig_->versionFile = ProgramFile(rig_->Folder() / "v1234", ProgramVersionBlock("1.2.3.4"));
        QTest::mouseClick(rig_->Find("Btn_About"), Qt::LeftButton);
        QCOMPARE(rig_->messages.back(), kTitle + "1.2.3.4.NAC");
        QCOMPARE(rig_->captions.back(), QCoreApplication::applicationName());
    }

    void aboutWithoutVersionShowsTheFiller() {
        rig_->versionFile = ProgramFile(rig_->Folder() / "none", {});
        rig_->Window().Btn_AboutClick();
        QCOMPARE(rig_->messages.back(), kTitle + QString(64, QChar(0xAA)) + ".NAC");
    }

    void aboutCutsALongVersion() {
        const std::string version(70, '7');
        rig_->versionFile = ProgramFile(rig_->Folder() / "long", ProgramVersionBlock(version));
        rig_->Window().Btn_AboutClick();
        // 63 characters copied, then the buffer's last byte, still the filler.
        QCOMPARE(rig_->messages.back(), kTitle + QString(63, '7') + QChar(0xAA) + ".NAC");
    }

    void aboutOfTheProgramItself() {
        rig_->versionFile = QDM_WRITER_PATH;
        rig_->Window().Btn_AboutClick();
        QCOMPARE(rig_->messages.back(), kTitle + QDM_VERSION + ".NAC");
    }

    void aboutWhenTheLookupFails() {
        rig_->onVersionFile = [] { throw std::runtime_error("no path"); };
        rig_->Window().Btn_AboutClick();
        QCOMPARE(rig_->messages.back(),
                 QStringLiteral("QDM-OTP Programmer for Writer Version Collectting Error!"));
    }

    void agentDisplayNeedsCtrlAndRightAlt_data() {
        QTest::addColumn<bool>("control");
        QTest::addColumn<bool>("rightAlt");
        QTest::addColumn<bool>("shown");
        QTest::newRow("both") << true << true << true;
        QTest::newRow("Ctrl only, or with the left Alt") << true << false << false;
        QTest::newRow("right Alt only") << false << true << false;
        QTest::newRow("neither") << false << false << false;
    }
    void agentDisplayNeedsCtrlAndRightAlt() {
        QFETCH(bool, control);
        QFETCH(bool, rightAlt);
        QFETCH(bool, shown);
        rig_->keys.control = control;
        rig_->keys.rightAlt = rightAlt;
        QTest::mouseDClick(rig_->StatusLine(), Qt::LeftButton);
        if (shown) {
            QCOMPARE(rig_->messages, std::vector<QString>{QStringLiteral("Code = PB")});
        } else {
            QVERIFY(rig_->messages.empty());
        }
    }

    void agentDisplayShowsTheRowInForce() {
        rig_->keys.control = rig_->keys.rightAlt = true;
        State().AgentIndex = 0;
        rig_->Window().Lab_MsgShowDblClick();
        QCOMPARE(rig_->messages.back(), QStringLiteral("Code = NoAgentExist"));
        // A row outside the table names nobody, and must not be read.
        State().AgentIndex = 10;
        rig_->Window().Lab_MsgShowDblClick();
        State().AgentIndex = -1;
        rig_->Window().Lab_MsgShowDblClick();
        QCOMPARE(rig_->messages.size(), 1u);
        // The file label's double-click does nothing.
        QTest::mouseDClick(rig_->Find<QLabel>("Lab_LoadFile"), Qt::LeftButton);
        QCOMPARE(rig_->messages.size(), 1u);
    }

    void systemKeysTellTheRightAltApart() {
        // The offscreen platform has no X11 display: the event filter answers.
        if (QGuiApplication::platformName() != QStringLiteral("offscreen"))
            QSKIP("the window system's own key state answers here");
        SystemKeyChord keys;
        QWidget& target = rig_->Window();
        SendKey(target, QEvent::KeyPress, Qt::Key_Control, 37, 0xffe3);
        SendKey(target, QEvent::KeyPress, Qt::Key_Alt, 64, 0xffe9);
        QVERIFY(keys.ControlHeld());
        QVERIFY(!keys.RightAltHeld());
        SendKey(target, QEvent::KeyPress, Qt::Key_Alt, 108, 0xffea);
        QVERIFY(keys.RightAltHeld());
        SendKey(target, QEvent::KeyRelease, Qt::Key_Alt, 108, 0xffea);
        QVERIFY(!keys.RightAltHeld());
        // A layout that makes the right Alt AltGr.
        SendKey(target, QEvent::KeyPress, Qt::Key_AltGr, 108, 0xfe03);
        QVERIFY(keys.RightAltHeld());
        // Keys let go while another program has the keyboard are forgotten.
        QMetaObject::invokeMethod(qGuiApp, "applicationStateChanged",
                                  Q_ARG(Qt::ApplicationState, Qt::ApplicationInactive));
        QVERIFY(!keys.TrackedRightAlt());
        QVERIFY(!keys.TrackedControl());
        SendKey(target, QEvent::KeyPress, Qt::Key_Alt, 108, 0xffea);
        QMetaObject::invokeMethod(qGuiApp, "applicationStateChanged",
                                  Q_ARG(Qt::ApplicationState, Qt::ApplicationActive));
        QVERIFY(keys.TrackedRightAlt());
        SendKey(target, QEvent::KeyRelease, Qt::Key_Alt, 108, 0xffea);
        SendKey(target, QEvent::KeyRelease, Qt::Key_Control, 37, 0xffe3);
    }

  private:
    std::unique_ptr<Rig> rig_;
};

QDM_GUI_TEST("AboutAgent", AboutAgentTest);

}  // namespace qdm::test

#include "AboutAgentTest.moc"
