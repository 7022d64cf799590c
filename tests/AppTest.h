#pragma once

#include "app/CAlvetraApp.h"

#include <QFile>
#include <QTest>

// Writes flt.dat in the working directory for an empty filter store (eight zero bytes,
// scrambled), so start-up has nothing to complain about.
inline bool WriteEmptyFilterFile()
{
    QFile filter(QStringLiteral("flt.dat"));
    return filter.open(QIODevice::WriteOnly) && filter.write(QByteArray(8, char(0xA7))) == 8;
}

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
