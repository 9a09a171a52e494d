// An engine library without the entry point: every run must fail with result 2.
#include <windows.h>

extern "C" __declspec(dllexport) int __stdcall SomethingElse(int value) {
    return value;
}
