#include "CAboutBox.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>

CAboutBox::CAboutBox(QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("About Alvetra"));
    auto *logo = new QLabel(this);
    logo->setPixmap(QPixmap(QStringLiteral(":/logo.xpm")));
    logo->setAlignment(Qt::AlignTop);
    auto *name = new QLabel(
        QStringLiteral("<b>Alvetra</b> version %1").arg(QCoreApplication::applicationVersion()),
        this);
    name->setTextFormat(Qt::RichText);
    auto *description = new QLabel(
        QStringLiteral("Receives EDIS alert messages on a serial line and passes the ones that "
                       "match your filter to the log, a file, a second line and the printer."),
        this);
    description->setWordWrap(true);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto *layout = new QGridLayout(this);
    layout->addWidget(logo, 0, 0, 2, 1);
    layout->addWidget(name, 0, 1);
    layout->addWidget(description, 1, 1);
    layout->addWidget(buttons, 2, 0, 1, 2);
    layout->setColumnStretch(1, 1);
    setMinimumWidth(360);
}
