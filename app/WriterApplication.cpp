#include "app/WriterApplication.h"

#include <QtWidgets/QMessageBox>
#include <exception>

namespace qdm {

WriterApplication::WriterApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool WriterApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ReportException(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        // Not one of ours: shown as an exception with no message.
        ReportException(QString());
    }
    return false;
}

void WriterApplication::ReportException(const QString& text) const {
    if (report_) {
        report_(text);
    } else {
        ShowExceptionBox(text);
    }
}

void ShowExceptionBox(const QString& text) {
    QMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(), text,
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

}  // namespace qdm
