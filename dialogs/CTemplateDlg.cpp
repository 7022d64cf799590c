#include "CTemplateDlg.h"

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QWindow>

namespace {

// Windows rounds a × b / c to the nearest integer when it maps dialog units.
int MulDiv(int a, int b, int c)
{
    return (a * b + c / 2) / c;
}

} // namespace

CTemplateDlg::CTemplateDlg(const QString &caption, int width, int height, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(caption);
    // A modal frame with caption and system menu: no resizing, no help button.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);

    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPointSize(8);
    font.setStyleHint(QFont::SansSerif);
    setFont(font);

    // The average width as Windows takes it: the 52 letters, halved with rounding.
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_unitWidth = (letters / 26 + 1) / 2;
    m_unitHeight = metrics.height();

    setFixedSize(ToPixels(0, 0, width, height).size());
}

QRect CTemplateDlg::ToPixels(int x, int y, int width, int height) const
{
    return QRect(MulDiv(x, m_unitWidth, 4), MulDiv(y, m_unitHeight, 8),
                 MulDiv(width, m_unitWidth, 4), MulDiv(height, m_unitHeight, 8));
}

QGroupBox *CTemplateDlg::AddGroupBox(const QString &title, int x, int y, int width, int height)
{
    auto *box = new QGroupBox(title, this);
    box->setGeometry(ToPixels(x, y, width, height));
    box->setFocusPolicy(Qt::NoFocus);
    m_groups.append({box, QRect(x, y, width, height)});
    return box;
}

void CTemplateDlg::AddControl(QWidget *control, int id, int x, int y, int width, int height)
{
    const QRect units(x, y, width, height);
    QWidget *parent = this;
    for (const Group &group : std::as_const(m_groups)) {
        if (group.units.contains(units)) {
            parent = group.box;
            break;
        }
    }
    control->setParent(parent);
    if (id != -1)
        control->setObjectName(IdName(id));

    QRect pixels = ToPixels(x, y, width, height);
    pixels.moveTopLeft(parent->mapFrom(this, pixels.topLeft()));
    pixels.setWidth(std::max(pixels.width(), control->sizeHint().width()));
    // A drop-down list's template height includes the list when dropped down; closed, it is
    // as high as its font needs.
    if (qobject_cast<QComboBox *>(control))
        pixels.setHeight(control->sizeHint().height());
    control->setGeometry(pixels);

    if (control->focusPolicy() != Qt::NoFocus) {
        if (m_lastInTabOrder)
            setTabOrder(m_lastInTabOrder, control);
        m_lastInTabOrder = control;
    }
}

void CTemplateDlg::setVisible(bool visible)
{
    if (visible && !m_initialised) {
        m_initialised = true;
        OnInitDialog();
        // Made without a parent, the dialog still belongs to the window it was opened from:
        // it stays above that window and opens centred on it.
        QWidget *owner = QApplication::activeWindow();
        if (!parentWidget() && owner && owner != this) {
            winId();
            if (QWindow *window = windowHandle())
                window->setTransientParent(owner->windowHandle());
            move(owner->frameGeometry().center() - rect().center());
        }
    }
    QDialog::setVisible(visible);
}
