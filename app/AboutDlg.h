// The About box: the program's name, version and icon.
#pragma once

#include "framework/Framework.h"
#include "resources/resource.h"

class CAboutDlg : public fw::Dialog {
  public:
    explicit CAboutDlg(HWND parent) : fw::Dialog(IDD_ABOUTBOX, parent) {}
    ~CAboutDlg() override = default;

  protected:
    bool OnCommand(WORD id, WORD code) override {
        if (id == IDOK && code == BN_CLICKED) {
            EndDialog(IDOK);
            return true;
        }
        return fw::Dialog::OnCommand(id, code);
    }
};
