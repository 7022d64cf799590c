#include "CMainFrame.h"

#include "Acknowledgements.h"
#include "CAlvetraApp.h"
#include "CAlvetraDoc.h"
#include "CAlvetraView.h"
#include "CColorLabel.h"
#include "CFindBar.h"
#include "CHistoryWindow.h"
#include "LockKeys.h"
#include "LogWork.h"
#include "SelectionCopy.h"
#include "doors/Doors.h"
#include "serial/SerialPort.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QFrame>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

// The resources live in a static library; nothing would pull them into the program otherwise.
static void InitAppResources()
{
    Q_INIT_RESOURCE(app);
}

namespace {

// The caption of the label bar.
const char kLabelCaption[] = "Alvetra - EDIS alert message filter";

// The bar's controls in pixels, from their places in dialog units (8-point font: 1.5 pixels
// across, 1.625 down).
constexpr QRect kLabelRect(5, 8, 327, 24);
constexpr QRect kLogoRect(345, 2, 38, 36);
constexpr int kBarHeight = 39;
constexpr int kLabelLogoGap = 16;

void OpenHelpPage(const QString &name)
{
    // What the desktop makes of a missing page is its own affair; the program says nothing.
    QDesktopServices::openUrl(
        QUrl::fromLocalFile(GetProgramFolder() + QStringLiteral("/Help/") + name));
}

} // namespace

CMainFrame::CMainFrame(CAlvetraDoc *document, QWidget *parent)
    : QMainWindow(parent)
    , m_document(document)
    , m_view(new CAlvetraView(document, this))
{
    InitAppResources();
    setWindowIcon(QIcon(QStringLiteral(":/logo.xpm")));

    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    CreateLabelBar();
    layout->addWidget(m_labelBar);
    auto *line = new QFrame(central);
    line->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    layout->addWidget(line);
    layout->addWidget(m_view, 1);
    m_findBar = new CFindBar(m_view, central);
    m_findBar->hide();
    layout->addWidget(m_findBar);
    setCentralWidget(central);

    CreateMenus();
    CreateAccelerators();
    CreateStatusBar();
    m_work = new LogWork(document, m_view, statusBar());
    connect(m_work, &LogWork::BusyChanged, this, &CMainFrame::UpdateFileCommands);
    connect(m_findBar, &CFindBar::Notice, this,
            [this](const QString &text) { statusBar()->showMessage(text, 5000); });

    resize(800, 600);
    connect(document, &CAlvetraDoc::TitleChanged, this, &CMainFrame::UpdateCaption);
    UpdateCaption(document->Title());

    LayOutBar();
    m_layoutReady = true;
}

CMainFrame::~CMainFrame() = default;

void CMainFrame::UpdateCaption(const QString &title)
{
    setWindowTitle(title.isEmpty() ? QStringLiteral("Alvetra")
                                   : title + QStringLiteral(" - Alvetra"));
}

void CMainFrame::closeEvent(QCloseEvent *event)
{
    if (!m_document->CanCloseFrame()) {
        event->ignore();
        return;
    }
    event->accept();
    // The history is a window of the program, not a program of its own: it goes with the frame.
    if (m_history)
        m_history->close();
    m_work->FinishAtEnd();
    // While the event loop still runs: a port thread may be waiting in a hand-off to the view.
    GetInPort().StopThread();
    GetOutPort().StopThread();
}

void CMainFrame::OnMessageHistory()
{
    if (!m_history) {
        CAlvetraApp *app = CAlvetraApp::Instance();
        m_history = new CHistoryWindow(app->GetJournalSettings().m_path, app->GetJournal(), this);
        m_history->SetCentral(app->m_generalSettings.m_central);
    }
    m_history->show();
    m_history->raise();
    m_history->activateWindow();
}

bool CMainFrame::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_labelBar && event->type() == QEvent::Resize && m_layoutReady)
        LayOutBar();
    return QMainWindow::eventFilter(watched, event);
}

void CMainFrame::CreateLabelBar()
{
    m_labelBar = new QWidget(this);
    m_labelBar->setObjectName(QStringLiteral("labelBar"));
    m_labelBar->setFixedHeight(kBarHeight);
    m_labelBar->setMinimumWidth(0);

    m_label = new CColorLabel(m_labelBar);
    m_label->setObjectName(QStringLiteral("label"));
    m_label->setGeometry(kLabelRect);
    m_label->setAlignment(Qt::AlignCenter);
    m_label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_label->setLineWidth(1);
    m_label->SetBackColour(Qt::black)
        .SetTextColour(QColor(0, 255, 0))
        .SetText(QString::fromLatin1(kLabelCaption));

    m_logo = new QLabel(m_labelBar);
    m_logo->setObjectName(QStringLiteral("logo"));
    m_logo->setGeometry(kLogoRect);
    m_logo->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_logo->setLineWidth(1);
    m_logo->setAlignment(Qt::AlignCenter);
    m_logo->setPixmap(QPixmap(QStringLiteral(":/logo.xpm")));

    m_labelBar->installEventFilter(this);
}

void CMainFrame::LayOutBar()
{
    const int barWidth = m_labelBar->width();
    const QRect logo = m_logo->geometry();
    const int logoLeft = barWidth - logo.width();
    m_logo->move(logoLeft, logo.top());
    m_logo->show();

    const int labelWidth = logoLeft - kLabelLogoGap;
    if (labelWidth <= 0) {
        m_label->hide();
        return;
    }
    const QRect label = m_label->geometry();
    m_label->setGeometry(label.left(), label.top(), labelWidth, label.height());
    m_label->show();
}

QAction *CMainFrame::AddCommand(int id, const QString &text)
{
    auto *action = new QAction(text, this);
    action->setData(id);
    return action;
}

QAction *CMainFrame::Command(int id) const
{
    const QList<QAction *> actions = findChildren<QAction *>();
    for (QAction *action : actions) {
        if (action->data().toInt() == id)
            return action;
    }
    return nullptr;
}

void CMainFrame::CreateMenus()
{
    QMenu *settings = menuBar()->addMenu(QStringLiteral("&Settings"));
    QAction *filter = AddCommand(32774, QStringLiteral("&Filter Settings"));
    filter->setStatusTip(QStringLiteral("Set the filtering parameters"));
    connect(filter, &QAction::triggered, m_view, &CAlvetraView::OnFilterSettings);
    settings->addAction(filter);
    QAction *general = AddCommand(32778, QStringLiteral("General Settings"));
    general->setStatusTip(QStringLiteral("General Alvetra settings"));
    connect(general, &QAction::triggered, m_view, &CAlvetraView::OnGeneralSettings);
    settings->addAction(general);

    QMenu *history = menuBar()->addMenu(QStringLiteral("History"));
    QAction *messages = AddCommand(32790, QStringLiteral("Message History\u2026"));
    messages->setStatusTip(
        QStringLiteral("Every message received, what was done with it, and the line's events"));
    messages->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_J));
    connect(messages, &QAction::triggered, this, &CMainFrame::OnMessageHistory);
    history->addAction(messages);
    QAction *acknowledge = AddCommand(32797, QStringLiteral("Acknowledge All"));
    acknowledge->setStatusTip(
        QStringLiteral("Acknowledge every passed message that waits for acknowledgement"));
    acknowledge->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_K));
    connect(acknowledge, &QAction::triggered, this, &CMainFrame::OnAcknowledgeAll);
    history->addAction(acknowledge);

    QMenu *help = menuBar()->addMenu(QStringLiteral("&Help"));
    QAction *program = AddCommand(32776, QStringLiteral("Alvetra Help"));
    program->setStatusTip(QStringLiteral("Get help on operating this program"));
    connect(program, &QAction::triggered, this, &CMainFrame::OnHelpProgram);
    help->addAction(program);
    QAction *edis = AddCommand(32777, QStringLiteral("EDIS Help"));
    edis->setStatusTip(QStringLiteral("Get help about EDIS in general"));
    connect(edis, &QAction::triggered, this, &CMainFrame::OnHelpEdis);
    help->addAction(edis);
    help->addSeparator();
    QAction *about = AddCommand(57664, QStringLiteral("&About Alvetra..."));
    about->setStatusTip(
        QStringLiteral("Display program information, version number and copyright"));
    about->setMenuRole(QAction::AboutRole);
    connect(about, &QAction::triggered, this, [] { CAlvetraApp::Instance()->OnAppAbout(); });
    help->addAction(about);

    // Shown greyed, so it cannot be opened; its command stays reachable for tests.
    QMenu *test = menuBar()->addMenu(QStringLiteral("Test"));
    QAction *testFile = AddCommand(32773, QStringLiteral("test 3"));
    connect(testFile, &QAction::triggered, m_view, &CAlvetraView::OnTestFile);
    test->addAction(testFile);
    test->setEnabled(false);
}

void CMainFrame::CreateAccelerators()
{
    const auto key = [this](int id, const QString &text, const QList<QKeySequence> &keys) {
        QAction *action = AddCommand(id, text);
        action->setShortcuts(keys);
        action->setShortcutContext(Qt::WindowShortcut);
        addAction(action);
        return action;
    };
    connect(key(57600, QStringLiteral("New"), {QKeySequence(Qt::CTRL | Qt::Key_N)}),
            &QAction::triggered, this, &CMainFrame::OnFileNew);
    connect(key(57601, QStringLiteral("Open"), {QKeySequence(Qt::CTRL | Qt::Key_O)}),
            &QAction::triggered, this, &CMainFrame::OnFileOpen);
    connect(key(57603, QStringLiteral("Save"), {QKeySequence(Qt::CTRL | Qt::Key_S)}),
            &QAction::triggered, this, &CMainFrame::OnFileSave);
    connect(key(57607, QStringLiteral("Print"), {QKeySequence(Qt::CTRL | Qt::Key_P)}),
            &QAction::triggered, this, &CMainFrame::OnFilePrint);

    // The log is read-only: the keys that would change its text are taken and do nothing.
    // (Plain lambdas, not member pointers: GCC 12 under the sanitizers warns that a member
    // pointer of QPlainTextEdit may be used uninitialized.)
    const auto onlyIfWritable = [this](auto edit) {
        return [this, edit] {
            if (!m_view->isReadOnly())
                edit(m_view);
        };
    };
    connect(key(57643, QStringLiteral("Undo"),
                {QKeySequence(Qt::CTRL | Qt::Key_Z), QKeySequence(Qt::ALT | Qt::Key_Backspace)}),
            &QAction::triggered, this, onlyIfWritable([](QPlainTextEdit *log) { log->undo(); }));
    connect(key(57635, QStringLiteral("Cut"),
                {QKeySequence(Qt::CTRL | Qt::Key_X), QKeySequence(Qt::SHIFT | Qt::Key_Delete)}),
            &QAction::triggered, this, onlyIfWritable([](QPlainTextEdit *log) { log->cut(); }));
    connect(key(57637, QStringLiteral("Paste"),
                {QKeySequence(Qt::CTRL | Qt::Key_V), QKeySequence(Qt::SHIFT | Qt::Key_Insert)}),
            &QAction::triggered, this, onlyIfWritable([](QPlainTextEdit *log) { log->paste(); }));

    // A large selection is read in slices; the window goes on answering meanwhile.
    auto *copy = new SelectionCopy(m_view, this);
    connect(key(57634, QStringLiteral("Copy"),
                {QKeySequence(Qt::CTRL | Qt::Key_C), QKeySequence(Qt::CTRL | Qt::Key_Insert)}),
            &QAction::triggered, copy, &SelectionCopy::Start);
    connect(key(57642, QStringLiteral("Select All"), {QKeySequence(Qt::CTRL | Qt::Key_A)}),
            &QAction::triggered, m_view, &QPlainTextEdit::selectAll);
    connect(key(57636, QStringLiteral("Find"), {QKeySequence(Qt::CTRL | Qt::Key_F)}),
            &QAction::triggered, this, &CMainFrame::OnEditFind);
    connect(key(57640, QStringLiteral("Find Next"), {QKeySequence(Qt::Key_F3)}),
            &QAction::triggered, this, &CMainFrame::OnEditFindNext);
    connect(key(57641, QStringLiteral("Replace"), {QKeySequence(Qt::CTRL | Qt::Key_H)}),
            &QAction::triggered, this, &CMainFrame::OnEditReplace);

    // No embedded objects and a single pane: these keys are taken and have no effect.
    key(57860, QStringLiteral("Properties"), {QKeySequence(Qt::ALT | Qt::Key_Return)});
    key(57680, QStringLiteral("Next Pane"), {QKeySequence(Qt::Key_F6)});
    key(57681, QStringLiteral("Previous Pane"), {QKeySequence(Qt::SHIFT | Qt::Key_F6)});
    // Esc closes the find bar when it is open, as it would close a find dialog.
    connect(key(32768, QStringLiteral("Escape"), {QKeySequence(Qt::Key_Escape)}),
            &QAction::triggered, this, [this] {
                if (m_findBar->isVisible()) {
                    m_findBar->hide();
                    m_view->setFocus();
                }
            });
}

void CMainFrame::CreateStatusBar()
{
    QStatusBar *bar = statusBar();
    // A plain widget of the status bar: hidden while a prompt text shows, back afterwards.
    auto *ready = new QLabel(QStringLiteral("Ready"), bar);
    ready->setObjectName(QStringLiteral("messagePane"));
    bar->addWidget(ready, 1);

    // The lines' state, left of the lock keys: the first thing to look at when alerts stay away.
    const auto linePane = [bar](const QString &name) {
        auto *pane = new QLabel(bar);
        pane->setObjectName(name);
        pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        pane->setContentsMargins(4, 0, 4, 0);
        bar->addPermanentWidget(pane);
        return pane;
    };
    m_inputLinePane = linePane(QStringLiteral("inputLinePane"));
    m_outputLinePane = linePane(QStringLiteral("outputLinePane"));
    m_centralPane = linePane(QStringLiteral("centralPane"));
    m_centralPane->hide();
    // Right of the lines' state, and hard to overlook: an alert nobody has answered yet.
    m_alertsPane = linePane(QStringLiteral("alertsPane"));
    m_alertsPane->setStyleSheet(
        QStringLiteral("QLabel { background-color: #c00000; color: white; font-weight: bold; }"));
    m_alertsPane->hide();
    connect(&CAlvetraApp::Instance()->GetAcknowledgements(), &Acknowledgements::Changed, this,
            &CMainFrame::UpdateAlertsPane);
    UpdateLinePanes();
    // Once a second shows a byte's time to the second; the bytes themselves only leave a
    // time stamp behind, so a busy line costs the panes nothing.
    auto *lineTimer = new QTimer(this);
    connect(lineTimer, &QTimer::timeout, this, &CMainFrame::UpdateLinePanes);
    lineTimer->start(1000);

    const auto indicator = [bar](const QString &name) {
        auto *pane = new QLabel(bar);
        pane->setObjectName(name);
        pane->setAlignment(Qt::AlignCenter);
        pane->setMinimumWidth(pane->fontMetrics().horizontalAdvance(QStringLiteral("SCRL")) + 10);
        pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        bar->addPermanentWidget(pane);
        return pane;
    };
    m_capIndicator = indicator(QStringLiteral("CAP"));
    m_numIndicator = indicator(QStringLiteral("NUM"));
    m_scrlIndicator = indicator(QStringLiteral("SCRL"));

    UpdateLockIndicators();
    // No platform tells a program when a lock key changes, least of all while another window
    // has the keyboard; a glance every quarter of a second is cheap.
    if (ReadLockKeys().known) {
        auto *poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, &CMainFrame::UpdateLockIndicators);
        poll->start(250);
    }
}

void CMainFrame::UpdateLockIndicators()
{
    const LockKeys keys = ReadLockKeys();
    const auto show = [](QLabel *pane, bool on) {
        const QString text = on ? pane->objectName() : QString();
        if (pane->text() != text)
            pane->setText(text);
    };
    show(m_capIndicator, keys.capsLock);
    show(m_numIndicator, keys.numLock);
    show(m_scrlIndicator, keys.scrollLock);
}

void CMainFrame::UpdateLinePanes()
{
    const auto show = [](QLabel *pane, const QString &text) {
        if (pane->text() != text)
            pane->setText(text);
    };
    show(m_inputLinePane, m_view->Watch().InputPaneText());
    show(m_outputLinePane, m_view->Watch().OutputPaneText());
    const CentralShipper *shipper = CAlvetraApp::Instance()->GetShipper();
    const QString central = shipper ? shipper->StateText() : QString();
    show(m_centralPane, central);
    m_centralPane->setVisible(!central.isEmpty());
    // Also once a second: the switch may have been turned off, the day may have turned.
    UpdateAlertsPane();
}

void CMainFrame::UpdateAlertsPane()
{
    const QString text = CAlvetraApp::Instance()->GetAcknowledgements().PaneText();
    if (m_alertsPane->text() != text)
        m_alertsPane->setText(text);
    m_alertsPane->setVisible(!text.isEmpty());
}

void CMainFrame::OnAcknowledgeAll()
{
    CAlvetraApp::Instance()->GetAcknowledgements().AcknowledgeAll(AcknowledgedFrom::Window);
}

void CMainFrame::OnHelpProgram()
{
    OpenHelpPage(QStringLiteral("index1.html"));
}

void CMainFrame::OnHelpEdis()
{
    OpenHelpPage(QStringLiteral("index2.html"));
}

void CMainFrame::OnEditFind()
{
    m_findBar->ShowFind();
}

void CMainFrame::OnEditFindNext()
{
    if (m_findBar->FindText().isEmpty())
        m_findBar->ShowFind();
    else
        m_findBar->FindNext();
}

void CMainFrame::OnEditReplace()
{
    m_findBar->ShowReplace();
}
