// Placeholder until the Patch command lands.
#include "app/KelvaneDlg.h"

void CKelvaneDlg::OnPatch() {}
