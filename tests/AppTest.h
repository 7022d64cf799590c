#pragma once

#include "app/CAlvetraApp.h"

#include <QFile>
#include <QSettings>
#include <QTest>

// Writes flt.dat in the working directory for an empty filter store (eight zero bytes,
// scrambled), so start-up has nothing to complain about.
inline bool WriteEmptyFilterFile()
{
    QFile filter(QStringLiteral("flt.dat"));
    return filter.open(QIODevice::WriteOnly) && filter.write(QByteArray(8, char(0xA7))) == 8;
}

// The application's tests see its outputs run at once, as they always did; a test of the
// journal switches it on again with a file of its own.
inline void DisableJournal()
{
    QSettings(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra")
        .setValue("Journal/Enabled", false);
}

// main() for a test that needs the real application object. The test object is created after
// the application, so its slots may start the program with InitInstance().
#define ALVETRA_APP_TEST_MAIN(TestObject)                                                          \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        CAlvetraApp app(argc, argv);                                                               \
        DisableJournal();                                                                          \
        TestObject test;                                                                           \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
