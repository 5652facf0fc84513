#pragma once
// The application object. An exception that escapes an event handler is shown in a message box
// and the message loop goes on, as the operator expects of the window.

#include <QtWidgets/QApplication>
#include <functional>

namespace qdm {

class WriterApplication final : public QApplication {
    Q_OBJECT

  public:
    // Shows the text of an exception nobody caught; its caption is the application's title.
    using ExceptionReport = std::function<void(const QString& text)>;

    WriterApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Replaces the message box (tests must not block on one).
    void SetExceptionReport(ExceptionReport report) { report_ = std::move(report); }
    void ReportException(const QString& text) const;

  private:
    ExceptionReport report_;
};

// The standard box for an exception: the application's title as caption, one OK button.
void ShowExceptionBox(const QString& text);

}  // namespace qdm
