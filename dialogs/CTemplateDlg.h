#pragma once

#include <QDialog>

class QGroupBox;

// A modal dialog laid out from a template in dialog units: a horizontal unit is a quarter of the
// dialog font's average character width, a vertical unit an eighth of its height. The layout
// thus keeps its proportions with whatever font the platform puts in place of "MS Sans Serif".
// Controls carry their template id as object name ("1008"), so code and tests find them by id.
// GUI thread only.
class CTemplateDlg : public QDialog
{
    Q_OBJECT

public:
    void setVisible(bool visible) override;

protected:
    // `width` and `height` in dialog units.
    CTemplateDlg(const QString &caption, int width, int height, QWidget *parent);

    // Runs once, just before the dialog is first shown: the place to show the settings.
    virtual void OnInitDialog() {}

    // Pixels of a template rectangle, relative to the dialog.
    QRect ToPixels(int x, int y, int width, int height) const;
    // Places `control` at its template position inside the group box whose template
    // rectangle holds it, or on the dialog itself; gives it its id (none for -1) and puts it
    // last in the tab order. A label is never cut: a control is at least as wide as its text.
    void AddControl(QWidget *control, int id, int x, int y, int width, int height);
    // Group boxes are made before the controls they frame; they take no focus.
    QGroupBox *AddGroupBox(const QString &title, int x, int y, int width, int height);

    static QString IdName(int id) { return QString::number(id); }

private:
    struct Group
    {
        QGroupBox *box;
        QRect units;
    };

    int m_unitWidth = 0;  // average character width in pixels
    int m_unitHeight = 0; // character height in pixels
    QList<Group> m_groups;
    QWidget *m_lastInTabOrder = nullptr;
    bool m_initialised = false;
};
