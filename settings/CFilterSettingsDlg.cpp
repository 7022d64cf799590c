#include "CFilterSettingsDlg.h"

CFilterSettingsDlg::CFilterSettingsDlg(QWidget *parent)
    : QDialog(parent)
{}
