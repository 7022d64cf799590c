#pragma once

#include <QColor>
#include <QLabel>

// A label with a text colour and a background colour of its own, in the default GUI font.
// GUI thread only.
class CColorLabel : public QLabel
{
    Q_OBJECT

public:
    explicit CColorLabel(QWidget *parent = nullptr);

    // Each returns the label, so that calls can be chained.
    CColorLabel &SetText(const QString &text);
    // Takes effect at once: the label is redrawn before the call returns.
    CColorLabel &SetTextColour(const QColor &colour);
    // Takes effect with the label's next drawing.
    CColorLabel &SetBackColour(const QColor &colour);

    QColor TextColour() const { return m_textColour; }
    QColor BackColour() const { return m_backColour; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_textColour;
    QColor m_backColour;
};
