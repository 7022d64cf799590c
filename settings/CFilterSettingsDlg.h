#pragma once

#include <QDialog>

// Skeleton: the dialogs issue builds the real dialog.
class CFilterSettingsDlg : public QDialog
{
    Q_OBJECT

public:
    explicit CFilterSettingsDlg(QWidget *parent = nullptr);
};
