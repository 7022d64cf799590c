#pragma once

#include <QDialog>

// Program name, version and what it does, with OK.
class CAboutBox : public QDialog
{
    Q_OBJECT

public:
    explicit CAboutBox(QWidget *parent = nullptr);
};
