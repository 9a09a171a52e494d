// The engine through its public entry point, as the tool calls it: on Windows the real
// patchw32.dll beside the test program, loaded with LoadLibraryA and called through
// GetProcAddress("RTPatchApply32@12") with a stdcall callback; natively the same C entry
// linked in. Every report of the last call is recorded.
#pragma once

#include "api.h"
#include "test_support.h"

#include <string>
#include <vector>

namespace kvtest {

typedef int(KV_STDCALL* EntryFn)(char*, KvPatchCallback, int);

// Null when the DLL or its entry point cannot be found.
EntryFn entry();
// Runs one command line through entry() and returns the engine's value.
int call(const std::string& line);
// The reports of the last call, in order.
std::vector<Event>& events();
std::vector<std::string> texts(unsigned id);
std::string all_text(); // ids 1-4 as "id: text" lines

} // namespace kvtest
