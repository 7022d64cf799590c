#pragma once

#include <QMainWindow>

class CAlvetraDoc;
class CAlvetraView;
class CColorLabel;
class CFindBar;
class CHistoryWindow;
class LogWork;
class QAction;
class QLabel;

// The main window: label bar, menus, the log view and the status bar. GUI thread only.
class CMainFrame : public QMainWindow
{
    Q_OBJECT

public:
    explicit CMainFrame(CAlvetraDoc *document, QWidget *parent = nullptr);
    ~CMainFrame() override;

    CAlvetraView *View() const { return m_view; }

    // The bar at the top: the caption label and the logo at its right edge.
    QWidget *LabelBar() const { return m_labelBar; }
    CColorLabel *Label() const { return m_label; }
    QLabel *Logo() const { return m_logo; }
    CFindBar *FindBar() const { return m_findBar; }

    // The main window's commands by their command id (menus and keys), null for none.
    QAction *Command(int id) const;

    // Open the help pages below the program folder with the desktop's handler.
    void OnHelpProgram();
    void OnHelpEdis();

    // Find in the log (Ctrl+F, F3); Ctrl+H shows the replace row, which the read-only log
    // keeps disabled.
    void OnEditFind();
    void OnEditFindNext();
    void OnEditReplace();

    // The document commands (CMainFrameFile.cpp): new, open, save and print the log.
    void OnFileNew();
    void OnFileOpen();
    void OnFileSave();
    void OnFileSaveAs();
    void OnFilePrint();
    void OnFilePrintPreview();
    void OnFilePrintSetup();
    // Saving, opening and printing the log under way, off the window's thread.
    LogWork *Work() const { return m_work; }

    // "Message History": the journal's window, made on first use and raised after.
    void OnMessageHistory();
    // Acknowledges every passed message waiting for it (Ctrl+K).
    void OnAcknowledgeAll();
    CHistoryWindow *HistoryWindow() const { return m_history; }

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void UpdateCaption(const QString &title);
    void CreateLabelBar();
    void CreateMenus();
    void CreateAccelerators();
    void CreateStatusBar();
    QAction *AddCommand(int id, const QString &text);
    // Logo flush right, the label up to 16 pixels before it; hidden when there is no room.
    void LayOutBar();
    void UpdateLockIndicators();
    void UpdateLinePanes();
    void UpdateAlertsPane();
    // New, Open and Save wait while a save or an open runs, Print while a print does.
    void UpdateFileCommands();

    CAlvetraDoc *m_document;
    CAlvetraView *m_view;
    QWidget *m_labelBar = nullptr;
    CColorLabel *m_label = nullptr;
    QLabel *m_logo = nullptr;
    CFindBar *m_findBar = nullptr;
    QLabel *m_capIndicator = nullptr;
    QLabel *m_numIndicator = nullptr;
    QLabel *m_scrlIndicator = nullptr;
    QLabel *m_inputLinePane = nullptr;
    QLabel *m_outputLinePane = nullptr;
    QLabel *m_alertsPane = nullptr;  // hidden while no message waits for acknowledgement
    QLabel *m_centralPane = nullptr; // the central journal's shipping, while it runs
    // False until the window is built, so resizing while building it lays out nothing.
    bool m_layoutReady = false;
    CHistoryWindow *m_history = nullptr; // a child of this frame, in a window of its own
    LogWork *m_work = nullptr;
};
