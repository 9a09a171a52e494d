// Placeholders until the patch and temp directory choosers land.
#include "app/KelvaneDlg.h"

void CKelvaneDlg::OnSelectPatch() {}
void CKelvaneDlg::OnSelectTempDir() {}
