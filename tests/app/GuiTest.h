#pragma once
// Each group of window tests is a program of its own, run by ctest on the offscreen platform
// under the window program's own application object.

#include <QtTest/QtTest>

#include "app/WriterApplication.h"

#define QDM_GUI_TEST_MAIN(Class)                                                  \
    int main(int argc, char** argv) {                                             \
        qdm::WriterApplication app(argc, argv);                                   \
        QApplication::setQuitOnLastWindowClosed(false); /* tests close windows */ \
        Class test;                                                               \
        return QTest::qExec(&test, argc, argv);                                   \
    }
