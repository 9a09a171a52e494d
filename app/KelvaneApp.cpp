#include "app/KelvaneApp.h"

#include "app/KelvaneDlg.h"

#include <objbase.h>

int CKelvaneApp::InitInstance() {
    // Progress bars and the status bar are common controls.
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                  ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);
    // The shell folder browser needs COM on this thread. Kelvane keeps no settings, so
    // there is no registry key of its own to open.
    ::CoInitialize(nullptr);
    {
        CKelvaneDlg dlg;
        dlg.DoModal();
    }
    ::CoUninitialize();
    return FALSE;
}
