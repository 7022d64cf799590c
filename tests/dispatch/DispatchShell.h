#pragma once

#include "doors/Doors.h"
#include "receiver/EdisMessage.h"
#include "serial/SerialPort.h"
#include "settings/FilterSettings.h"
#include "settings/GeneralSettings.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The application's side of the doors for tests that run the dispatcher without the windows:
// the real service objects, held here, the log's lines collected in order, and a program
// folder of the test's own (the tests' executables share one folder, so the real one, the
// executable's folder, would have every test writing into the same Received). Installed as
// the doors while it lives.
struct DispatchShell : Doors
{
    FilterSettings &GetFilterSettings() override { return m_filterSettings; }
    SerialPort &GetInPort() override { return m_inPort; }
    SerialPort &GetOutPort() override { return m_outPort; }
    GeneralSettings &GetGeneralSettings() override { return m_generalSettings; }
    void LogError(const QString &text) override { m_log.append(QStringLiteral("Error:->") + text); }
    void LogWarning(const QString &text) override
    {
        m_log.append(QStringLiteral("Warning:->") + text);
    }
    void ShowMessage(const EdisMessage &message) override
    {
        m_shownHeaders.append(message.m_header);
    }
    QString GetProgramFolder() override { return m_programFolder; }

    FilterSettings m_filterSettings;
    SerialPort m_inPort;
    SerialPort m_outPort;
    GeneralSettings m_generalSettings;

    QStringList m_log;                // "Error:->..." and "Warning:->..." lines
    QList<QByteArray> m_shownHeaders; // headers of the messages shown in the log
    QString m_programFolder;

    // Last, so the doors are removed before anything above is destroyed.
    ScopedDoors m_installed{*this};
};

DispatchShell &Shell();

// The worked example: header 12345e2al9, headline Quake, trailer 0930, body Body.
EdisMessage WorkedExample();

// Sets the three output switches and the recover time.
void SetOutputs(bool file, bool port, bool printer, int recoverTime = 1000);
