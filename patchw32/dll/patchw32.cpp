// patchw32.dll: the engine's single exported entry point, RTPatchApply32@12.
#include "api.h"

extern "C" int __stdcall RTPatchApply32(char* cmdline, KvPatchCallback callback, int wait) {
    return kv_patch_apply(cmdline, callback, wait);
}
