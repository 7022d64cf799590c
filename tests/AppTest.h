#pragma once

#include "app/CAlvetraApp.h"

#include <QTest>

// main() for a test that needs the real application object. The test object is created after
// the application, so its slots may start the program with InitInstance().
#define ALVETRA_APP_TEST_MAIN(TestObject)                                                          \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        CAlvetraApp app(argc, argv);                                                               \
        TestObject test;                                                                           \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
