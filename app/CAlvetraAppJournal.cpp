// The command line's export of the journal: no window system, no settings but the journal's.
#include "CAlvetraApp.h"

#include "central/CentralReader.h"
#include "doors/Doors.h"
#include "journal/JournalReader.h"
#include "journal/JournalSettings.h"

#include <QCommandLineParser>
#include <QFile>
#include <QSaveFile>
#include <QSettings>

#include <cstdio>
#include <cstring>

namespace {

const char kExportSwitch[] = "--export-journal";

int ExportFailed(const QString &text)
{
    std::fprintf(stderr, "Alvetra: %s\n", qPrintable(text));
    return 1;
}

} // namespace

bool CAlvetraApp::IsJournalExport(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], kExportSwitch) == 0
            || std::strncmp(argv[i], "--export-journal=", 17) == 0)
            return true;
    }
    return false;
}

int CAlvetraApp::ExportJournal(const QStringList &arguments)
{
    QCoreApplication::setOrganizationName(QStringLiteral("Dorvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Alvetra"));
    QCommandLineParser parser;
    const QCommandLineOption exportOption(QStringLiteral("export-journal"),
                                          QStringLiteral("Write the journal as CSV to <file>."),
                                          QStringLiteral("file"));
    const QCommandLineOption sinceOption(QStringLiteral("since"),
                                         QStringLiteral("Only rows received at or after <when>."),
                                         QStringLiteral("when"));
    const QCommandLineOption untilOption(QStringLiteral("until"),
                                         QStringLiteral("Only rows received before <when>."),
                                         QStringLiteral("when"));
    const QCommandLineOption spreadsheetOption(
        QStringLiteral("spreadsheet"),
        QStringLiteral("Write for a spreadsheet: a field that begins as a formula gets a "
                       "leading '."));
    const QCommandLineOption centralOption(
        QStringLiteral("central"),
        QStringLiteral("Export from the central journal, every station's rows."));
    const QCommandLineOption stationOption(
        QStringLiteral("station"), QStringLiteral("With --central: only the rows of <name>."),
        QStringLiteral("name"));
    parser.addOptions(
        {exportOption, sinceOption, untilOption, spreadsheetOption, centralOption, stationOption});
    if (!parser.parse(arguments))
        return ExportFailed(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return ExportFailed(QStringLiteral("the export takes no file but the CSV file: %1")
                                .arg(parser.positionalArguments().join(QLatin1Char(' '))));

    JournalFilter filter;
    for (const auto &[option, bound] :
         {std::pair{&sinceOption, &filter.m_since}, std::pair{&untilOption, &filter.m_until}}) {
        if (!parser.isSet(*option))
            continue;
        *bound = ParseJournalTime(parser.value(*option));
        if (!bound->isValid())
            return ExportFailed(QStringLiteral("%1 is not an ISO 8601 date or date-time")
                                    .arg(parser.value(*option)));
    }

    if (parser.isSet(stationOption) && !parser.isSet(centralOption))
        return ExportFailed(QStringLiteral("--station needs --central"));
    const QString target = parser.value(exportOption);
    // Scripts read the export: a value is written as it is unless a spreadsheet is to open it.
    const CsvFor csvFor = parser.isSet(spreadsheetOption) ? CsvFor::Spreadsheets : CsvFor::Scripts;
    QString error;
    QSaveFile file(target);
    if (parser.isSet(centralOption)) {
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Dorvane"),
                        QStringLiteral("Alvetra"));
        CentralSettings central;
        central.Load(store);
        CentralReader reader;
        if (!reader.Open(central, &error))
            return ExportFailed(
                QStringLiteral("the central journal cannot be read: %1").arg(error));
        if (!file.open(QIODevice::WriteOnly))
            return ExportFailed(
                QStringLiteral("%1 cannot be written: %2").arg(target, file.errorString()));
        if (!reader.ExportCsv(filter, parser.value(stationOption), file, csvFor, &error))
            return ExportFailed(QStringLiteral("%1 cannot be written: %2").arg(target, error));
        if (!file.commit())
            return ExportFailed(
                QStringLiteral("%1 cannot be written: %2").arg(target, file.errorString()));
        return 0;
    }

    const JournalSettings settings = LoadJournalSettings(GetProgramFolder());
    JournalReader reader;
    if (!reader.Open(settings.m_path, &error))
        return ExportFailed(QStringLiteral("the journal cannot be read: %1").arg(error));
    if (!file.open(QIODevice::WriteOnly))
        return ExportFailed(
            QStringLiteral("%1 cannot be written: %2").arg(target, file.errorString()));
    if (!reader.ExportCsv(filter, file, csvFor, &error))
        return ExportFailed(QStringLiteral("%1 cannot be written: %2").arg(target, error));
    if (!file.commit())
        return ExportFailed(
            QStringLiteral("%1 cannot be written: %2").arg(target, file.errorString()));
    return 0;
}
