#pragma once

#include <QMainWindow>

class CAlvetraDoc;
class CAlvetraView;

// The main window: label bar, menus, the log view and the status bar. GUI thread only.
class CMainFrame : public QMainWindow
{
    Q_OBJECT

public:
    explicit CMainFrame(CAlvetraDoc *document, QWidget *parent = nullptr);
    ~CMainFrame() override;

    CAlvetraView *View() const { return m_view; }

    // The document commands (CMainFrameFile.cpp): new, open, save and print the log.
    void OnFileNew();
    void OnFileOpen();
    void OnFileSave();
    void OnFileSaveAs();
    void OnFilePrint();
    void OnFilePrintPreview();
    void OnFilePrintSetup();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void UpdateCaption(const QString &title);

    CAlvetraDoc *m_document;
    CAlvetraView *m_view;
};
