// Placeholders until the queue lands.
#include "app/KelvaneDlg.h"

void CKelvaneDlg::OnUseQueue() {}
void CKelvaneDlg::OnClearQueue() {}
