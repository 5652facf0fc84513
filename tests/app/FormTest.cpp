// The window as the operator first sees it, the progress display and SetOperationControls.

#include <QtGui/QFontInfo>
#include <QtGui/QScreen>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QGroupBox>

#include "state/Mainprocess.h"
#include "tests/app/WindowRig.h"

namespace qdm::test {

namespace {
struct EnabledOrder final : QObject {
    QStringList names;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::EnabledChange) names.push_back(watched->objectName());
        return false;
    }
};
}  // namespace

class FormTest : public QObject {
    Q_OBJECT

  private slots:
    void init() {
        rig_ = std::make_unique<Rig>("k3r8");
        rig_->Open();
    }
    void cleanup() { rig_.reset(); }

    void controlsOfTheForm() {
        // clang-format off
        struct Row { const char *name, *parent; QRect at; const char *caption, *state; };
        const char *top = "Frm_Main", *box = "GBox_Controls", *ext = "GBox_ExtModeFunctions";
        for (const Row& r : std::initializer_list<Row>{  // state: Visible, Enabled
                 {box, top, {8, 8, 529, 97}, "Flash Memory Programmer Control", "VE"},
                 {"Lab_LoadFile", box, {8, 16, 513, 25}, "Click Download to download the data to the flash memory", "VE"},
                 {"Lab_MsgShow", box, {8, 40, 513, 25}, "USB Dongle Connected!", "VE"},
                 {"CBox_DownloadPID", box, {8, 64, 121, 24}, "AUTO", "VE"},
                 {"Btn_DBRst", box, {128, 64, 113, 25}, "Demoboard Reset", "-E"},
                 {"Btn_Download", box, {240, 64, 265, 25}, "D O W N L O A D", "VE"},
                 {"Btn_About", box, {504, 64, 17, 25}, "?", "VE"},
                 {"Btn_1", box, {400, 8, 49, 25}, "Btn_1", "-E"},
                 {"Btn_2", box, {464, 16, 49, 41}, "Fast", "--"},
                 {ext, top, {8, 120, 529, 145}, "Extension Mode", "--"},
                 {"Btn_HardwareVerRd", ext, {288, 24, 113, 25}, "Read Hardware Info", "--"},
                 {"Btn_Encode", ext, {408, 24, 113, 25}, "Enocde to 64k", "--"},
                 {"Btn_ExpandTo256k", ext, {288, 56, 113, 25}, "Expand to 256k", "--"},
                 {"Btn_GenMPBFileFormat", ext, {408, 56, 113, 25}, "Generate MPB File", "--"},
                 {"Lab_ExtModeEnable", ext, {16, 24, 200, 17}, "Writer Extension Mode Enable", "--"},
                 {"Lab_EngineeringMode", ext, {16, 48, 200, 17}, "Engineering Mode", "--"},
                 {"Lab_InternalUse", ext, {16, 72, 200, 17}, "For Internal use only", "--"}}) {
            // clang-format on
            auto* w = rig_->Find<QWidget>(r.name);
            QVERIFY2(w != nullptr, r.name);
            QCOMPARE(w->parentWidget()->objectName(), QString(r.parent));
            QCOMPARE(w->geometry(), r.at);
            QString text = w->property("text").toString();
            if (auto* g = qobject_cast<QGroupBox*>(w)) text = g->title();
            if (auto* c = qobject_cast<QComboBox*>(w)) text = c->currentText();
            QCOMPARE(text, QString(r.caption));
            QCOMPARE(QString(QChar(w->isVisible() ? 'V' : '-')) + QChar(w->isEnabled() ? 'E' : '-'),
                     QString(r.state));
        }
    }

    void fontsColoursFrameAndList() {
        for (const char* name : {"Lab_LoadFile", "Lab_MsgShow"}) {
            const auto* label = rig_->Find<QLabel>(name);
            QVERIFY(label->font().pixelSize() == 16 && label->font().bold());
            QVERIFY(QStringList({"Arial", "Liberation Sans"})
                        .contains(QFontInfo(label->font()).family()));
            QCOMPARE(label->palette().color(QPalette::WindowText), QColor(0, 0, 255));
            QCOMPARE(label->textFormat(), Qt::PlainText);  // a file name is never markup
        }
        TFrm_Main& window = rig_->Window();
        QCOMPARE(window.windowTitle(), QStringLiteral("QDM-OTP Programmer for Writer - sim:1"));
        const Qt::WindowFlags flags = window.windowFlags();
        QVERIFY(flags.testFlag(Qt::WindowSystemMenuHint) &&
                flags.testFlag(Qt::WindowMinimizeButtonHint) &&
                !flags.testFlag(Qt::WindowMaximizeButtonHint));
        QCOMPARE(window.minimumSize(), window.maximumSize());  // fixed single border
        const int frame = window.frameGeometry().height() - window.height();
        QCOMPARE(window.height() + (frame > 0 ? frame : kAssumedDecorationHeight), 140);
        QCOMPARE(window.width(), 544);
        const QPoint off =
            window.frameGeometry().center() - window.screen()->availableGeometry().center();
        QVERIFY(off.manhattanLength() <= 2);
        QCOMPARE(
            rig_->Find<QFileDialog>("OpenD_LoadROMFile")->nameFilters(),
            QStringList({"Binary Files (*.bin)", "Demo Files (*.eva *eva2)", "All Files (*.*)"}));
        for (const auto& [name, interval, active] : {std::tuple{"Timer_SysPolling", 1000, true},
                                                     {"Timer_MsgPolling", 300, false},
                                                     {"Timer_Effect", 1, false}})
            QVERIFY(rig_->Find<QTimer>(name)->interval() == interval &&
                    rig_->Find<QTimer>(name)->isActive() == active);
        const auto* list = rig_->Find<QComboBox>("CBox_DownloadPID");
        QCOMPARE(list->font().pixelSize(), 13);
        QCOMPARE(list->count(), 13);
        for (int i = 0; i < list->count(); ++i)
            QCOMPARE(list->itemText(i).toStdString(), ChipTypeItems[static_cast<std::size_t>(i)]);
        QCOMPARE(list->currentText(), QStringLiteral("AUTO"));
    }

    void progressDisplay() {
        State().ProgressText = "OTP Writer K3.r1 Serial Flash Programming...";
        rig_->Window().SetStatusColour(StatusColour::Red);  // a colour it keeps
        for (const auto& [value, shown] :
             {std::pair{96, "75%"}, {128, "100%"}, {64, "50%"}, {1, "0%"}}) {
            State().ProgressValue = static_cast<std::uint8_t>(value);
            rig_->Window().Timer_MsgPollingTimer();
            QCOMPARE(rig_->Shown().back(), "red: " + State().ProgressText + shown);
        }
        rig_->Find<QTimer>("Timer_MsgPolling")->setInterval(1);
        rig_->Window().SetProgressDisplay(true);
        State().ProgressText = "Erasing...";
        QTRY_COMPARE(rig_->Status(), QStringLiteral("Erasing...0%"));
    }

    void operationControlsInOrderThenThePolling() {
        const QStringList order = {"Btn_Download",     "Btn_HardwareVerRd",    "Btn_Encode",
                                   "Btn_ExpandTo256k", "Btn_GenMPBFileFormat", "CBox_DownloadPID",
                                   "Btn_DBRst"};
        // With the extension box enabled all seven report their change.
        rig_->Find<QGroupBox>("GBox_ExtModeFunctions")->setEnabled(true);
        EnabledOrder seen;
        for (const QString& name : order)
            rig_->Find<QWidget>(qPrintable(name))->installEventFilter(&seen);
        for (const bool enable : {false, true}) {
            seen.names.clear();
            rig_->Window().SetOperationControls(enable);
            QCOMPARE(seen.names, order);
            QCOMPARE(rig_->Find<QTimer>("Timer_SysPolling")->isActive(), enable);
            QVERIFY(rig_->Find("Btn_About")->isEnabled() && !rig_->Find("Btn_2")->isEnabled());
        }
        for (const QString& name : order.mid(1, 4))
            rig_->Find(qPrintable(name))->click();  // their clicks do nothing
        QVERIFY(rig_->Shown().size() == 1 && rig_->messages.empty() && rig_->dialogs == 0);
    }

  private:
    std::unique_ptr<Rig> rig_;
};

}  // namespace qdm::test

QDM_GUI_TEST_MAIN(qdm::test::FormTest)
#include "FormTest.moc"
