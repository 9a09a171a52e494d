// Placeholders until the engine bridge lands; each is replaced by its real file.
#include "app/KelvaneDlg.h"

int CKelvaneDlg::RunPatchEngine(std::string, std::string) { return 2; }
int CKelvaneDlg::ListPatchFiles() { return 2; }
