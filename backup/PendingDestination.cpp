// Placeholder until the backup destination choice lands.
#include "app/KelvaneDlg.h"

void CKelvaneDlg::OnEnableUndo() {}
