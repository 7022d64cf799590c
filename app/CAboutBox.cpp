#include "CAboutBox.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

CAboutBox::CAboutBox(QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("About Alvetra"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(
        QStringLiteral("Alvetra version %1").arg(QCoreApplication::applicationVersion()), this));
    layout->addWidget(
        new QLabel(QStringLiteral("Filters EDIS alert messages arriving on a serial line."), this));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
}
