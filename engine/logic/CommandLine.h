// Command lines of the patch engine and the texts that frame its runs. Pieces are joined
// exactly as they are: paths go in as held, nothing inside them is escaped.
#pragma once

#include <string>

// "-u ", then "-j " for validate-only and "-i " for ignore-missing: the switches that open
// every apply command line.
std::string ApplyOptionPrefix(bool validateOnly, bool ignoreMissing);

// The temp directory switch as one quoted piece: "-otempdir:<dir>" with its double quotes.
std::string TempDirPiece(const std::string& tempDir);

// A blank, then the text in double quotes: the form of the game directory and patch pieces.
std::string QuotedPiece(const std::string& text);

// Apply mode: prefix, temp directory piece, game directory piece (only when the game
// directory is known) and patch piece.
std::string ApplyCommandLine(const std::string& prefix, const std::string& tempPiece,
                             const std::string& gameDir, const std::string& patchPath);
std::string ApplyCommandLine(bool validateOnly, bool ignoreMissing, const std::string& tempDir,
                             const std::string& gameDir, const std::string& patchPath);

// List mode: "-l ", the game directory piece when known, and the patch piece; the patch
// piece's own blank makes two blanks after "-l".
std::string ListCommandLine(const std::string& gameDir, const std::string& patchPath);

// The line that opens a single patch's messages: the quoted patch piece, so two blanks
// follow the colon.
std::string SingleApplyingLine(const std::string& patchPath);
// The line that opens each queued patch's messages: the bare path after one blank.
std::string QueueApplyingLine(const std::string& patchPath);

// "Processing patch <index> of <count> from queue."
std::string QueueStatusText(int index, int count);
