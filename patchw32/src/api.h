// The engine's C entry: the same function the DLL exports as RTPatchApply32@12.
#pragma once

#if defined(_WIN32)
#define KV_STDCALL __stdcall
#else
#define KV_STDCALL
#endif

extern "C" {

// Callback: `id` is a kv::CallbackId (engine.h): 1-4 text, 5 pointer to uint32 progress
// (0..32768), 6 pointer to uint32 file count, 7 file name. The return value is ignored.
typedef void*(KV_STDCALL* KvPatchCallback)(unsigned id, void* parm);

// Runs one engine command line; returns 0 on success (return codes in FORMAT.md). The
// command line is read, never written. `wait` is accepted for compatibility: the call
// always returns when the run has finished.
int kv_patch_apply(char* cmdline, KvPatchCallback callback, int wait);
}
