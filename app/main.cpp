// kelvane.exe: the program's entry point.
#include "app/KelvaneApp.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    CKelvaneApp app;
    app.InitInstance();
    return 0;
}
