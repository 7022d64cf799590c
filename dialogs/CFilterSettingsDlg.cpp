#include "CFilterSettingsDlg.h"

#include "doors/Doors.h"
#include "rtf/Cp1252.h"
#include "settings/FilterSettings.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

namespace {

enum class Kind { DefaultButton, Button, Handling, Source, AnySource, Region, Label };

struct Control
{
    int id;
    Kind kind;
    const char *text;
    int x, y, width, height;
    const char *code; // the letter or region code a box stands for
};

// Template order, which is also the tab order. The ids of "Test" and "Information" do not follow
// the order on screen.
constexpr Control kControls[] = {
    {1, Kind::DefaultButton, "OK", 171, 199, 50, 14, nullptr},
    {2, Kind::Button, "Cancel", 38, 199, 50, 14, nullptr},
    {1008, Kind::Handling, "Flash - EAS", 36, 33, 53, 10, "a"},
    {1009, Kind::Handling, "Urgent", 36, 43, 37, 10, "b"},
    {1010, Kind::Handling, "News", 36, 53, 34, 10, "c"},
    {1012, Kind::Handling, "Test", 36, 63, 30, 10, "d"},
    {1011, Kind::Handling, "Information", 36, 73, 51, 10, "e"},
    {1034, Kind::Source, "CLETS", 32, 101, 37, 10, "l"},
    {1035, Kind::Source, "OES Auto Notification", 32, 111, 86, 10, "q"},
    {1036, Kind::Source, "EDIS Auto Generated", 32, 121, 82, 10, "o"},
    {1037, Kind::Source, "Scientific Network", 32, 131, 81, 10, "s"},
    {1039, Kind::Source, "CWS", 32, 141, 81, 10, "c"},
    {1040, Kind::Source, "NWS", 32, 151, 81, 10, "w"},
    {1038, Kind::AnySource, "Any Source", 32, 160, 81, 10, nullptr},
    {1013, Kind::Region, "StateWide (All)", 137, 35, 59, 10, "0-"},
    {1014, Kind::Region, "Central Coast", 137, 45, 58, 10, "1a"},
    {1015, Kind::Region, "LA Area", 137, 55, 41, 10, "1b"},
    {1016, Kind::Region, "North Coast", 137, 65, 53, 10, "2a"},
    {1017, Kind::Region, "San Franscisco Bay", 137, 75, 79, 10, "2b"},
    {1018, Kind::Region, "Monterey Bay", 137, 85, 59, 10, "2c"},
    {1019, Kind::Region, "OES Inland Region III", 137, 95, 83, 10, "3-"},
    {1020, Kind::Region, "Sacramento Valley", 137, 105, 79, 10, "4a"},
    {1021, Kind::Region, "Tahoe/Sierra", 137, 115, 69, 10, "4b"},
    {1022, Kind::Region, "Fresno", 137, 125, 51, 10, "5a"},
    {1023, Kind::Region, "Bakersfield", 137, 135, 53, 10, "5b"},
    {1024, Kind::Region, "Bishop/Mono", 137, 145, 63, 10, "6a"},
    {1025, Kind::Region, "Inland/Desert", 137, 155, 62, 10, "6b"},
    {1026, Kind::Region, "San Diego/Imperial", 137, 165, 94, 10, "6c"},
    {-1, Kind::Label, "Only pass messages that have -->", 7, 7, 110, 8, nullptr},
    {1029, Kind::Button, "Filter Info", 38, 183, 50, 14, nullptr},
};

struct GroupBox
{
    const char *title;
    int x, y, width, height;
};

constexpr GroupBox kGroupBoxes[] = {
    {"Source Network", 20, 91, 102, 86},
    {"Target Region of", 133, 22, 110, 155},
    {"Handling Level of", 20, 22, 102, 65},
};

// The order of storing fixes where newly allowed letters land in the texts.
constexpr int kHandlingStoreOrder[] = {1008, 1011, 1010, 1012, 1009};
constexpr int kSourceStoreOrder[] = {1034, 1036, 1039, 1040, 1035, 1037};
constexpr int kAnySourceId = 1038;
constexpr int kFirstRegionId = 1013;
constexpr int kLastRegionId = 1026;

constexpr int kSummaryHeight = 120; // twips
constexpr quint32 kSummaryColour = 10 | (20 << 8) | (40 << 16);

const Control &ControlById(int id)
{
    for (const Control &control : kControls) {
        if (control.id == id)
            return control;
    }
    Q_UNREACHABLE();
}

char Letter(int id)
{
    return ControlById(id).code[0];
}

QByteArray RegionCode(int id)
{
    return QByteArray(ControlById(id).code);
}

void StoreLetter(QByteArray &letters, char letter, bool allowed)
{
    if (!allowed)
        FilterSettings::RemoveLetter(letters, letter);
    else if (!letters.contains(letter))
        letters.append(letter);
}

} // namespace

CFilterSettingsDlg::CFilterSettingsDlg(QWidget *parent)
    : CTemplateDlg(QStringLiteral("Alvetra Settings"), 285, 220, parent)
{
    for (const GroupBox &group : kGroupBoxes)
        AddGroupBox(QString::fromLatin1(group.title), group.x, group.y, group.width, group.height);

    for (const Control &control : kControls) {
        const QString text = QString::fromLatin1(control.text);
        QWidget *widget = nullptr;
        switch (control.kind) {
        case Kind::DefaultButton:
        case Kind::Button: {
            auto *button = new QPushButton(text);
            button->setDefault(control.kind == Kind::DefaultButton);
            widget = button;
            break;
        }
        case Kind::Label:
            widget = new QLabel(text);
            break;
        case Kind::Handling:
        case Kind::Source:
        case Kind::AnySource:
        case Kind::Region:
            widget = new QCheckBox(text);
            m_checkStates[control.id] = 0;
            break;
        }
        AddControl(widget, control.id, control.x, control.y, control.width, control.height);
    }

    m_cancelButton = findChild<QPushButton *>(IdName(2));
    connect(findChild<QPushButton *>(IdName(1)), &QPushButton::clicked, this,
            &CFilterSettingsDlg::OnOK);
    connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(findChild<QPushButton *>(IdName(1029)), &QPushButton::clicked, this,
            &CFilterSettingsDlg::OnFilterInfo);
}

int CFilterSettingsDlg::CheckState(int id) const
{
    const auto found = m_checkStates.find(id);
    return found == m_checkStates.end() ? 0 : found->second;
}

void CFilterSettingsDlg::OnInitDialog()
{
    LoadFromSettings();
    DoDataExchange(false);
    findChild<QPushButton *>(IdName(1))->setFocus();
}

void CFilterSettingsDlg::DoDataExchange(bool fromBoxes)
{
    for (auto &[id, state] : m_checkStates) {
        auto *box = findChild<QCheckBox *>(IdName(id));
        if (fromBoxes)
            state = box->isChecked() ? 1 : 0;
        else
            box->setChecked(state != 0);
    }
}

void CFilterSettingsDlg::LoadFromSettings()
{
    const FilterSettings &settings = GetFilterSettings();
    for (const Control &control : kControls) {
        bool allowed = false;
        switch (control.kind) {
        case Kind::Handling:
            allowed = settings.IsHandlingAllowed(control.code[0]);
            break;
        case Kind::Source:
            allowed = settings.IsSourceAllowed(control.code[0]);
            break;
        case Kind::Region:
            allowed = settings.IsRegionAllowed(QByteArray(control.code));
            break;
        case Kind::AnySource:
            allowed = settings.m_anySource != 0;
            break;
        default:
            continue;
        }
        m_checkStates[control.id] = allowed ? 1 : 0;
    }
}

void CFilterSettingsDlg::StoreToSettings()
{
    FilterSettings &settings = GetFilterSettings();
    for (const int id : kHandlingStoreOrder)
        StoreLetter(settings.m_handling, Letter(id), CheckState(id) != 0);
    for (int id = kFirstRegionId; id <= kLastRegionId; ++id) {
        const QByteArray code = RegionCode(id);
        if (CheckState(id) != 0) {
            settings.AllowRegion(code);
            continue;
        }
        // A file may hold a code twice; an unchecked box must leave it not allowed at all.
        while (settings.FindRegion(code) != -1)
            settings.DisallowRegion(code);
    }
    for (const int id : kSourceStoreOrder)
        StoreLetter(settings.m_sources, Letter(id), CheckState(id) != 0);
    settings.m_anySource = CheckState(kAnySourceId) != 0 ? 1 : 0;
    settings.Save();
}

void CFilterSettingsDlg::OnOK()
{
    DoDataExchange(true);
    StoreToSettings();
    accept();
}

void CFilterSettingsDlg::reject()
{
    if (!m_cancelButton->isEnabled()) {
        QApplication::beep();
        return;
    }
    QDialog::reject();
}

void CFilterSettingsDlg::OnFilterInfo()
{
    DoDataExchange(true);
    StoreToSettings();
    AppendLogText(DecodeCp1252(GetFilterSettings().Describe()), true, kSummaryHeight,
                  kSummaryColour, true, false);
    // The criteria are stored now; Cancel could no longer undo them.
    m_cancelButton->setEnabled(false);
}
