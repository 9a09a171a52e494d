#include "cmdline.h"

namespace kv {

RunOutcome tokenize(const std::string& line, std::vector<Token>& out) {
    out.clear();
    size_t i = 0, n = line.size();
    while (i < n) {
        while (i < n && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n'))
            ++i;
        if (i >= n)
            break;
        Token t;
        while (i < n &&
               !(line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n')) {
            if (line[i] == '"') {
                size_t close = line.find('"', i + 1);
                if (close == std::string::npos)
                    return RunOutcome::fail(
                        kRcUsage, "Malformed command line: a double quote is not closed.");
                t.text.append(line, i + 1, close - i - 1);
                t.quoted = true;
                i = close + 1;
            } else {
                t.text += line[i++];
            }
        }
        out.push_back(std::move(t));
    }
    return RunOutcome::next();
}

namespace {

bool iequals_prefix(const std::string& s, const char* prefix) {
    size_t k = 0;
    for (; prefix[k]; ++k) {
        if (k >= s.size())
            return false;
        char a = s[k], b = prefix[k];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a + 32);
        if (a != b)
            return false;
    }
    return true;
}

} // namespace

RunOutcome parse_command_line(const std::string& line, CommandLine& out, bool& list_mode) {
    auto malformed = [](std::string text) { return RunOutcome::fail(kRcUsage, std::move(text)); };
    out = CommandLine{};
    list_mode = false;
    std::vector<Token> toks;
    RunOutcome tokens = tokenize(line, toks);
    // Look for "-l" first so that a refused list run stays silent.
    for (const Token& t : toks)
        if (t.text == "-l" || t.text == "-L")
            list_mode = true;
    if (tokens.ends())
        return tokens;
    bool saw_u = false, saw_j = false, saw_l = false;
    std::vector<std::string> positional;
    for (const Token& t : toks) {
        const std::string& s = t.text;
        if (!s.empty() && s[0] == '-') {
            if (iequals_prefix(s, "-otempdir:")) {
                if (out.has_temp)
                    return malformed("Malformed command line: the temp directory is given twice.");
                out.has_temp = true;
                out.temp_dir = s.substr(10);
                continue;
            }
            if (s.size() == 2) {
                char c = s[1];
                if (c >= 'A' && c <= 'Z')
                    c = static_cast<char>(c + 32);
                if (c == 'u') {
                    saw_u = true;
                    continue;
                }
                if (c == 'j') {
                    saw_j = true;
                    continue;
                }
                if (c == 'i') {
                    out.ignore_missing = true;
                    continue;
                }
                if (c == 'l') {
                    saw_l = true;
                    continue;
                }
            }
            return malformed("Unknown switch \"" + s +
                             "\" on the command line. The engine accepts -u, -j, -i, "
                             "-l and \"-otempdir:DIR\".");
        }
        if (s.empty())
            return malformed("Malformed command line: an empty path is given.");
        positional.push_back(s);
    }
    if (saw_l && (saw_u || saw_j || out.ignore_missing))
        return malformed(
            "Malformed command line: list mode (-l) cannot be combined with -u, -j or -i.");
    if (positional.empty())
        return malformed("Malformed command line: no patch file is named.");
    if (positional.size() > 2)
        return malformed("Malformed command line: expected at most a game directory and a patch "
                         "file, but found " +
                         std::to_string(positional.size()) + " paths.");
    out.mode = saw_l ? Mode::List : (saw_j ? Mode::Validate : Mode::Apply);
    if (positional.size() == 2) {
        out.has_game_dir = true;
        out.game_dir = positional[0];
        out.patch_path = positional[1];
    } else {
        out.patch_path = positional[0];
    }
    return RunOutcome::next();
}

} // namespace kv
