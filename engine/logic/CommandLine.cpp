#include "engine/logic/CommandLine.h"

std::string ApplyOptionPrefix(bool validateOnly, bool ignoreMissing) {
    std::string prefix = "-u ";
    if (validateOnly) {
        prefix += "-j ";
    }
    if (ignoreMissing) {
        prefix += "-i ";
    }
    return prefix;
}

std::string TempDirPiece(const std::string& tempDir) {
    return "\"-otempdir:" + tempDir + "\"";
}

std::string QuotedPiece(const std::string& text) {
    return " \"" + text + "\"";
}

std::string ApplyCommandLine(const std::string& prefix, const std::string& tempPiece,
                             const std::string& gameDir, const std::string& patchPath) {
    std::string line = prefix + tempPiece;
    if (!gameDir.empty()) {
        line += QuotedPiece(gameDir);
    }
    return line + QuotedPiece(patchPath);
}

std::string ApplyCommandLine(bool validateOnly, bool ignoreMissing, const std::string& tempDir,
                             const std::string& gameDir, const std::string& patchPath) {
    return ApplyCommandLine(ApplyOptionPrefix(validateOnly, ignoreMissing), TempDirPiece(tempDir),
                            gameDir, patchPath);
}

std::string ListCommandLine(const std::string& gameDir, const std::string& patchPath) {
    std::string line = "-l ";
    if (!gameDir.empty()) {
        line += QuotedPiece(gameDir);
    }
    return line + QuotedPiece(patchPath);
}

std::string SingleApplyingLine(const std::string& patchPath) {
    return "--- Applying: " + QuotedPiece(patchPath) + " ---";
}

std::string QueueApplyingLine(const std::string& patchPath) {
    return "--- Applying: " + patchPath + " ---";
}

std::string QueueStatusText(int index, int count) {
    return "Processing patch " + std::to_string(index) + " of " + std::to_string(count) +
           " from queue.";
}
