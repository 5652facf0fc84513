#pragma once
// The window's Qt Test classes register here; gui_tests runs the group named on its command line
// (each a ctest test of its own) or all of them.

#include <QtCore/QObject>
#include <functional>
#include <memory>

namespace qdm::test {

using GuiTestFactory = std::function<std::unique_ptr<QObject>()>;

int RegisterGuiTest(const char* group, GuiTestFactory factory);

}  // namespace qdm::test

#define QDM_GUI_TEST(group, Class)                                                         \
    [[maybe_unused]] static const int qdmRegistered##Class = ::qdm::test::RegisterGuiTest( \
        group, [] { return std::unique_ptr<QObject>(std::make_unique<Class>()); })
