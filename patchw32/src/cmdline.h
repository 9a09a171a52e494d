// The engine's command line: "-u [-j ][-i ]"-otempdir:DIR" ["GAMEDIR"] "PATCH"" for apply
// and validate runs, "-l  ["GAMEDIR"] "PATCH"" for list runs.
#pragma once

#include "engine.h"

#include <string>
#include <vector>

namespace kv {

enum class Mode { Apply, Validate, List };

struct CommandLine {
    Mode mode = Mode::Apply;
    bool ignore_missing = false;
    bool has_temp = false;
    std::string temp_dir; // may be empty: the engine picks a folder on the game's volume
    bool has_game_dir = false;
    std::string game_dir;
    std::string patch_path;
};

struct Token {
    std::string text;
    bool quoted = false;
};

// Splits at blanks and tabs; a double quote opens a quoted part that runs to the next
// double quote, backslashes included literally. Ends the run (kRcUsage) on an unterminated
// quote, with the tokens before it in `out`.
RunOutcome tokenize(const std::string& line, std::vector<Token>& out);

// Lets the run go on, or ends it with kRcUsage and the message for the user. `list_mode` is
// set as soon as the "-l" switch is seen, even when the line is refused.
RunOutcome parse_command_line(const std::string& line, CommandLine& out, bool& list_mode);

} // namespace kv
