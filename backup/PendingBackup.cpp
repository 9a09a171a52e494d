// Placeholders until the backup copy and directory tree operations land.
#include "app/KelvaneDlg.h"

int CKelvaneDlg::PerformBackup() { return BackupNoDirectory; }
BOOL CKelvaneDlg::MakeBackupPath(std::string) { return TRUE; }
BOOL CKelvaneDlg::DeleteDirectoryTree(std::string) { return FALSE; }
