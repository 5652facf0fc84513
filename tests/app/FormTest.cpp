// The window as the operator first sees it: every control of the form, its fonts and colours,
// the frame, the cut height, the file dialog's filter, the timers and the chip-type list.

#include <QtGui/QFontInfo>
#include <QtGui/QScreen>
#include <QtTest/QtTest>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QGroupBox>

#include "app/Mainprocess.h"
#include "tests/app/GuiTest.h"
#include "tests/app/WindowRig.h"

namespace qdm::test {

class FormTest : public QObject {
    Q_OBJECT

  private slots:
    void init() {
        rig_ = std::make_unique<Rig>(Simulated("k3r8"));
        rig_->Open();
    }
    void cleanup() { rig_.reset(); }

    void controlsOfTheForm_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<bool>("visible");
        QTest::addColumn<bool>("enabled");
        const auto row = [](const char* name, const char* parent, QRect geometry,
                            const char* caption, bool visible, bool enabled) {
            QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(parent)
                                << geometry << QString::fromLatin1(caption) << visible << enabled;
        };
        const char* top = "Frm_Main";
        const char* controls = "GBox_Controls";
        const char* ext = "GBox_ExtModeFunctions";
        row("GBox_Controls", top, {8, 8, 529, 97}, "Flash Memory Programmer Control", true, true);
        row("Lab_LoadFile", controls, {8, 16, 513, 25},
            "Click Download to download the data to the flash memory", true, true);
        row("Lab_MsgShow", controls, {8, 40, 513, 25}, "USB Dongle Connected!", true, true);
        row("CBox_DownloadPID", controls, {8, 64, 121, 24}, "AUTO", true, true);
        row("Btn_DBRst", controls, {128, 64, 113, 25}, "Demoboard Reset", false, true);
        row("Btn_Download", controls, {240, 64, 265, 25}, "D O W N L O A D", true, true);
        row("Btn_About", controls, {504, 64, 17, 25}, "?", true, true);
        row("Btn_1", controls, {400, 8, 49, 25}, "Btn_1", false, true);
        row("Btn_2", controls, {464, 16, 49, 41}, "Fast", false, false);
        row("GBox_ExtModeFunctions", top, {8, 120, 529, 145}, "Extension Mode", false, false);
        row("Btn_HardwareVerRd", ext, {288, 24, 113, 25}, "Read Hardware Info", false, false);
        row("Btn_Encode", ext, {408, 24, 113, 25}, "Enocde to 64k", false, false);
        row("Btn_ExpandTo256k", ext, {288, 56, 113, 25}, "Expand to 256k", false, false);
        row("Btn_GenMPBFileFormat", ext, {408, 56, 113, 25}, "Generate MPB File", false, false);
        row("Lab_ExtModeEnable", ext, {16, 24, 200, 17}, "Writer Extension Mode Enable", false,
            false);
        row("Lab_EngineeringMode", ext, {16, 48, 200, 17}, "Engineering Mode", false, false);
        row("Lab_InternalUse", ext, {16, 72, 200, 17}, "For Internal use only", false, false);
    }
    void controlsOfTheForm() {
        QFETCH(QString, name);
        QFETCH(QString, parent);
        QFETCH(QRect, geometry);
        QFETCH(QString, caption);
        QFETCH(bool, visible);
        QFETCH(bool, enabled);
        auto* widget = rig_->Window().findChild<QWidget*>(name);
        QVERIFY(widget != nullptr);
        QCOMPARE(widget->parentWidget()->objectName(), parent);
        QCOMPARE(widget->geometry(), geometry);
        QString text;
        if (auto* b = qobject_cast<QAbstractButton*>(widget)) text = b->text();
        if (auto* l = qobject_cast<QLabel*>(widget)) text = l->text();
        if (auto* g = qobject_cast<QGroupBox*>(widget)) text = g->title();
        if (auto* c = qobject_cast<QComboBox*>(widget)) text = c->currentText();
        QCOMPARE(text, caption);
        QCOMPARE(widget->isVisible(), visible);
        QCOMPARE(widget->isEnabled(), enabled);
    }

    void fontsAndColours() {
        for (const char* name : {"Lab_LoadFile", "Lab_MsgShow"}) {
            auto* label = rig_->Find<QLabel>(name);
            QCOMPARE(label->font().pixelSize(), 16);
            QVERIFY(label->font().bold());
            QVERIFY(QStringList({"Arial", "Liberation Sans"})
                        .contains(QFontInfo(label->font()).family()));
            QCOMPARE(label->palette().color(QPalette::WindowText), QColor(0, 0, 255));
            QCOMPARE(label->textFormat(), Qt::PlainText);
        }
        QVERIFY(!rig_->Find<QLabel>("Lab_MsgShow")->autoFillBackground());
        QCOMPARE(rig_->Find<QComboBox>("CBox_DownloadPID")->font().pixelSize(), 13);
    }

    void frameOfTheWindow() {
        TFrm_Main& window = rig_->Window();
        QCOMPARE(window.windowTitle(), QStringLiteral("QDM-OTP Programmer for Writer"));
        const Qt::WindowFlags flags = window.windowFlags();
        QVERIFY(flags.testFlag(Qt::WindowSystemMenuHint));
        QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
        // A fixed single border: the size cannot change.
        QCOMPARE(window.minimumSize(), window.maximumSize());
        QCOMPARE(window.width(), kFormWidth);
        const int decoration = window.frameGeometry().height() - window.height();
        QCOMPARE(window.height() + (decoration > 0 ? decoration : kAssumedDecorationHeight),
                 kShownWindowHeight);
        const QRect screen = window.screen()->availableGeometry();
        QVERIFY(qAbs(window.frameGeometry().center().x() - screen.center().x()) <= 1);
        QVERIFY(qAbs(window.frameGeometry().center().y() - screen.center().y()) <= 1);
    }

    void fileDialogFilter() {
        auto* dialog = rig_->Window().findChild<QFileDialog*>(QStringLiteral("OpenD_LoadROMFile"));
        QVERIFY(dialog != nullptr);
        QCOMPARE(
            dialog->nameFilters(),
            QStringList({"Binary Files (*.bin)", "Demo Files (*.eva *eva2)", "All Files (*.*)"}));
        QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFile);
        QVERIFY(!dialog->isVisible());
    }

    void timersAfterFormShow() {
        const auto timer = [this](const char* name) {
            return rig_->Window().findChild<QTimer*>(QString::fromLatin1(name));
        };
        QCOMPARE(timer("Timer_SysPolling")->interval(), 1000);
        QVERIFY(timer("Timer_SysPolling")->isActive());
        QCOMPARE(timer("Timer_MsgPolling")->interval(), 300);
        QVERIFY(!timer("Timer_MsgPolling")->isActive());
        QCOMPARE(timer("Timer_Effect")->interval(), 1);
        QVERIFY(!timer("Timer_Effect")->isActive());
    }

    void chipTypeList() {
        auto* box = rig_->Find<QComboBox>("CBox_DownloadPID");
        QCOMPARE(box->count(), 13);
        for (int i = 0; i < box->count(); ++i)
            QCOMPARE(box->itemText(i).toStdString(), ChipTypeItems[static_cast<std::size_t>(i)]);
        QCOMPARE(box->currentText(), QStringLiteral("AUTO"));
        QVERIFY(!box->isEditable());
    }

    void extensionButtonsDoNothing() {
        rig_->Find<QGroupBox>("GBox_ExtModeFunctions")->setEnabled(true);
        const auto lines = rig_->Window().lines;
        for (const char* name :
             {"Btn_HardwareVerRd", "Btn_Encode", "Btn_ExpandTo256k", "Btn_GenMPBFileFormat"})
            rig_->Find(name)->click();
        QCOMPARE(rig_->Window().lines, lines);
        QVERIFY(rig_->messages.empty());
        QCOMPARE(rig_->dialogs, 0);
    }

  private:
    std::unique_ptr<Rig> rig_;
};

QDM_GUI_TEST("Form", FormTest);

}  // namespace qdm::test

#include "FormTest.moc"
