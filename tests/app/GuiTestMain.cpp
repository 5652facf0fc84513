// Runs the registered window test groups under the program's own application object, so the
// exception handling of its message loop is the one under test.

#include <QtTest/QtTest>
#include <cstdio>
#include <map>
#include <string>

#include "app/WriterApplication.h"
#include "tests/app/GuiTest.h"

namespace qdm::test {

namespace {
std::map<std::string, GuiTestFactory>& Registry() {
    static std::map<std::string, GuiTestFactory> tests;
    return tests;
}
}  // namespace

int RegisterGuiTest(const char* group, GuiTestFactory factory) {
    Registry().emplace(group, std::move(factory));
    return 0;
}

}  // namespace qdm::test

int main(int argc, char** argv) {
    qdm::WriterApplication app(argc, argv);
    // Tests close windows; that must not end the application under them.
    QApplication::setQuitOnLastWindowClosed(false);
    QStringList arguments = QCoreApplication::arguments();
    QString group;
    if (arguments.size() > 1 && !arguments[1].startsWith(QLatin1Char('-')))
        group = arguments.takeAt(1);
    int failed = 0;
    bool ran = false;
    for (const auto& [name, factory] : qdm::test::Registry()) {
        if (!group.isEmpty() && group != QString::fromStdString(name)) continue;
        ran = true;
        const std::unique_ptr<QObject> test = factory();
        failed += QTest::qExec(test.get(), arguments);
    }
    if (!ran) {
        std::fprintf(stderr, "no test group %s\n", qPrintable(group));
        return 2;
    }
    return failed == 0 ? 0 : 1;
}
