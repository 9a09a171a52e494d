// Placeholders until the space calculation lands.
#include "app/KelvaneDlg.h"

int CKelvaneDlg::CalcSpaceRequirements() { return 1; }
void CKelvaneDlg::ScanGameDir(const std::string&) {}
void CKelvaneDlg::BuildPatchTargets() {}
uint64_t CKelvaneDlg::MatchPatchTargets() { return 0; }
void CKelvaneDlg::EnterBusyState() { m_bBusy = TRUE; }
void CKelvaneDlg::LeaveBusyState() { m_bBusy = FALSE; }
