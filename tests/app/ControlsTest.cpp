// The progress display, SetOperationControls and the error-code texts.

#include <QtTest/QtTest>
#include <QtWidgets/QGroupBox>

#include "app/Mainprocess.h"
#include "tests/app/GuiTest.h"
#include "tests/app/WindowRig.h"

namespace qdm::test {

namespace {
// Records the order in which controls change their enabled state.
class EnabledOrder final : public QObject {
  public:
    QStringList names;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::EnabledChange) names.push_back(watched->objectName());
        return false;
    }
};

const QStringList kOperationControls = {
    "Btn_Download",         "Btn_HardwareVerRd", "Btn_Encode", "Btn_ExpandTo256k",
    "Btn_GenMPBFileFormat", "CBox_DownloadPID",  "Btn_DBRst"};
}  // namespace

class ControlsTest : public QObject {
    Q_OBJECT

  private slots:
    void init() {
        rig_ = std::make_unique<Rig>(Simulated("k3r8"));
        rig_->Open();
    }
    void cleanup() { rig_.reset(); }

    void progressText_data() {
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("shown");
        QTest::newRow("96") << 96 << "OTP Writer K3.r1 Serial Flash Programming...75%";
        QTest::newRow("128") << 128 << "OTP Writer K3.r1 Serial Flash Programming...100%";
        QTest::newRow("64") << 64 << "OTP Writer K3.r1 Serial Flash Programming...50%";
        QTest::newRow("1") << 1 << "OTP Writer K3.r1 Serial Flash Programming...0%";
    }
    void progressText() {
        QFETCH(int, value);
        QFETCH(QString, shown);
        State().ProgressText = "OTP Writer K3.r1 Serial Flash Programming...";
        State().ProgressValue = static_cast<std::uint8_t>(value);
        // The progress display keeps whatever colour the line has.
        rig_->Window().SetStatusColour(StatusColour::Red);
        rig_->Window().Timer_MsgPollingTimer();
        QCOMPARE(rig_->StatusLine()->text(), shown);
        QCOMPARE(rig_->StatusColour(), std::string("red"));
    }

    void progressDisplaySwitchesTheTimer() {
        auto* timer = rig_->Window().findChild<QTimer*>(QStringLiteral("Timer_MsgPolling"));
        rig_->Window().SetProgressDisplay(true);
        QVERIFY(timer->isActive());
        timer->setInterval(1);
        State().ProgressText = "Erasing...";
        State().ProgressValue = 128;
        QTRY_COMPARE(rig_->Status(), std::string("Erasing...100%"));
        rig_->Window().SetProgressDisplay(false);
        QVERIFY(!timer->isActive());
    }

    void operationControlsInOrderThenThePolling() {
        TFrm_Main& window = rig_->Window();
        // With the extension box enabled every one of the seven reports its change.
        rig_->Find<QGroupBox>("GBox_ExtModeFunctions")->setEnabled(true);
        EnabledOrder order;
        for (const QString& name : kOperationControls)
            window.findChild<QWidget*>(name)->installEventFilter(&order);
        auto* polling = window.findChild<QTimer*>(QStringLiteral("Timer_SysPolling"));

        window.SetOperationControls(false);
        QCOMPARE(order.names, kOperationControls);
        QVERIFY(!polling->isActive());
        for (const QString& name : kOperationControls)
            QVERIFY(!window.findChild<QWidget*>(name)->isEnabled());
        // Nothing else: the About button and the hidden ones keep their state.
        QVERIFY(rig_->Find("Btn_About")->isEnabled());
        QVERIFY(!rig_->Find("Btn_2")->isEnabled());

        order.names.clear();
        window.SetOperationControls(true);
        QCOMPARE(order.names, kOperationControls);
        QVERIFY(polling->isActive());
        QVERIFY(!rig_->Find("Btn_2")->isEnabled());
        QVERIFY(!rig_->Find("Btn_DBRst")->isVisible());
    }

    void panelControls() {
        TFrm_Main& window = rig_->Window();
        window.SetDemoResetVisible(true);
        QVERIFY(rig_->Find("Btn_DBRst")->isVisible());
        window.SetDemoResetEnabled(false);
        QVERIFY(!rig_->Find("Btn_DBRst")->isEnabled());
        window.SetDownloadEnabled(false);
        QVERIFY(!rig_->Find("Btn_Download")->isEnabled());
        window.SelectChipType(12);
        QCOMPARE(window.SelectedChipType(), 12);
        QCOMPARE(window.ChipTypeText(12), "Demoboard");
        QCOMPARE(window.ChipTypeCount(), 13);
        window.SetFileLabel("OTP Writer K3.r8 / ROM Version RV24");
        QCOMPARE(rig_->Find<QLabel>("Lab_LoadFile")->text(),
                 QStringLiteral("OTP Writer K3.r8 / ROM Version RV24"));
        window.ShowMessage("USB Not Found!!");
        QCOMPARE(rig_->messages.back(), QStringLiteral("USB Not Found!!"));
        QCOMPARE(rig_->captions.back(), QCoreApplication::applicationName());
    }

    void statusTextIsNeverMarkup() {
        rig_->Window().SetStatusText("<b>not bold</b>");
        QCOMPARE(rig_->StatusLine()->textFormat(), Qt::PlainText);
        QCOMPARE(rig_->Status(), std::string("<b>not bold</b>"));
    }

    void errorCodeTexts() {
        QCOMPARE(ErrorCodeText(1, 1), "ErrCode:M=0x01, S=0x01");
        QCOMPARE(ErrorCodeText(1, 2), "ErrCode:M=0x01, S=0x02");
        QCOMPARE(ErrorCodeText(0x1F, 0x100), "ErrCode:M=0x1F, S=0x100");
    }

  private:
    std::unique_ptr<Rig> rig_;
};

QDM_GUI_TEST("Controls", ControlsTest);

}  // namespace qdm::test

#include "ControlsTest.moc"
