// Placeholders until the option switches and the post-run reset land.
#include "app/KelvaneDlg.h"

void CKelvaneDlg::OnIgnoreMissing() {}
void CKelvaneDlg::OnValidateOnly() {}
void CKelvaneDlg::ResetAfterRun(BOOL) {}
