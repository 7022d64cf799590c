#include "CColorLabel.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPainter>

CColorLabel::CColorLabel(QWidget *parent)
    : QLabel(parent)
    , m_textColour(QApplication::palette().color(QPalette::WindowText))
    , m_backColour(QApplication::palette().color(QPalette::Button))
{
    setFont(QFontDatabase::systemFont(QFontDatabase::GeneralFont));
}

CColorLabel &CColorLabel::SetText(const QString &text)
{
    setText(text);
    return *this;
}

CColorLabel &CColorLabel::SetTextColour(const QColor &colour)
{
    m_textColour = colour;
    repaint();
    return *this;
}

CColorLabel &CColorLabel::SetBackColour(const QColor &colour)
{
    m_backColour = colour;
    return *this;
}

void CColorLabel::paintEvent(QPaintEvent *event)
{
    // Painted here rather than through the palette: a widget style may ignore a palette's
    // colours, and the caption must stay green on black under every style.
    {
        QPainter painter(this);
        painter.fillRect(contentsRect(), m_backColour);
        painter.setPen(m_textColour);
        painter.setFont(font());
        painter.drawText(contentsRect(), int(alignment()) | Qt::TextSingleLine, text());
    }
    // The frame (the sunken edge) as the style draws it.
    QFrame::paintEvent(event);
}
