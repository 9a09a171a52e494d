// Name of the folder that receives the unpatched copies of a patch's files.
#pragma once

#include "environment/logic/FileName.h"

#include <string>

// "undo" followed by the patch file name from its first "_from" on (the whole name when it
// has none), less its last four characters, the ".rtp" extension:
//   tarrow_1.23_from_1.22.rtp -> undo_from_1.22, mypatch.rtp -> undomypatch, "" -> undo.
// With a lead-byte predicate the name is walked character by character, so that a
// double-byte character is never cut in half nor taken for part of "_from".
std::string BackupFolderName(const std::string& patchFile, LeadBytePredicate isLeadByte = nullptr);
