#include "backup/logic/UndoScript.h"

namespace {

const char kReadFailedMarker[] = "erR";
const char kRemovalStart[] = "del /s ";

bool IsLead(LeadBytePredicate isLeadByte, unsigned char c) {
    return isLeadByte != nullptr && isLeadByte(c);
}

bool IsDotsAndBlanksOnly(const std::string& component) {
    if (component.empty()) {
        return false; // "a\\b": an empty step stays where it is
    }
    for (char c : component) {
        if (c != '.' && c != ' ') {
            return false;
        }
    }
    return true;
}

} // namespace

UndoVersion ChooseUndoVersion(const std::string& registryVersion,
                              const std::string& fallbackVersion) {
    UndoVersion version;
    version.text = registryVersion;
    if (version.text == kReadFailedMarker && !fallbackVersion.empty()) {
        version.text = fallbackVersion;
        version.fromFallback = true;
    }
    version.available = version.text != kReadFailedMarker;
    return version;
}

std::vector<std::string> UndoRegChunks(const std::string& version) {
    return {"REGEDIT4\n\n", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\Tarrowsaga\\Moorgate]\n",
            "\"Version\"=\"" + version + "\"\n"};
}

std::string UndoRegText(const std::string& version) {
    std::string text;
    for (const std::string& chunk : UndoRegChunks(version)) {
        text += chunk;
    }
    return text;
}

std::string QuoteForScript(const std::string& path) {
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '%') {
            quoted += '%';
        }
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

bool IsRemovalEntry(const std::string& entry) {
    return entry.find(kRemovalMark) != std::string::npos;
}

bool IsPlainAddedFileName(const std::string& name, LeadBytePredicate isLeadByte) {
    if (name.empty()) {
        return false;
    }
    std::string component;
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (IsLead(isLeadByte, c) && i + 1 < name.size()) {
            // A double-byte character: its trail byte may look like "\" or "|" but is neither.
            component += name[i];
            component += name[++i];
            continue;
        }
        if (c < 0x20 || c == 0x7F || c == '"' || c == '*' || c == '?' || c == '<' || c == '>' ||
            c == '|' || c == ':') {
            return false;
        }
        if (c == '\\' || c == '/') {
            if (IsDotsAndBlanksOnly(component)) {
                return false;
            }
            component.clear();
        } else {
            component += static_cast<char>(c);
        }
    }
    // The last component names the file itself.
    return !component.empty() && !IsDotsAndBlanksOnly(component);
}

std::string RemovalScriptLine(const std::string& entry, const std::string& gameDir,
                              LeadBytePredicate isLeadByte) {
    const std::string prefix = kRemovalStart + gameDir + "\\.\\";
    if (entry.compare(0, prefix.size(), prefix) != 0 ||
        !IsPlainAddedFileName(entry.substr(prefix.size()), isLeadByte)) {
        return kUndoBatRemovalLeftOut;
    }
    return kRemovalStart + QuoteForScript(entry.substr(sizeof kRemovalStart - 1)) + "\n";
}

std::string RelativePathOf(const std::string& entry, size_t gameDirLength) {
    const size_t cut = gameDirLength + 1;
    return cut < entry.size() ? entry.substr(cut) : std::string();
}

std::string BackupCopyPathOf(const std::string& backupDir, const std::string& relativePath) {
    return backupDir + "\\" + relativePath;
}

std::string CopyScriptLine(const std::string& relativePath, const std::string& entry,
                           LeadBytePredicate isLeadByte) {
    std::string lines;
    const size_t nameLength = FileNameOfPath(relativePath, isLeadByte).size();
    if (nameLength < relativePath.size() && nameLength < entry.size()) {
        // The patch may have removed the file's whole folder: copy cannot make folders.
        const std::string folder = entry.substr(0, entry.size() - nameLength - 1);
        lines = "if not exist " + QuoteForScript(folder + "\\") + " mkdir " +
                QuoteForScript(folder) + "\n";
    }
    return lines + "copy /Y " + QuoteForScript(".\\" + relativePath) + " " + QuoteForScript(entry) +
           "\n";
}

std::string RegeditScriptLine(const std::string& backupDir) {
    return "regedit /s " + QuoteForScript(backupDir + "\\" + kUndoRegName) + "\n";
}

std::string ComposeUndoBat(const std::list<std::string>& entries, const std::string& gameDir,
                           const std::string& backupDir, const UndoVersion& version,
                           LeadBytePredicate isLeadByte) {
    std::string script = kUndoBatTitle;
    script += kUndoBatChangeDir;
    script += kUndoBatRemovalsTitle;
    for (const std::string& entry : entries) {
        if (IsRemovalEntry(entry)) {
            script += RemovalScriptLine(entry, gameDir, isLeadByte);
        }
    }
    script += kUndoBatCopiesTitle;
    for (const std::string& entry : entries) {
        if (!IsRemovalEntry(entry)) {
            script += CopyScriptLine(RelativePathOf(entry, gameDir.size()), entry, isLeadByte);
        }
    }
    if (version.available) {
        script += kUndoBatVersionTitle;
        if (version.fromFallback) {
            script += kUndoBatFallbackNote;
        }
        script += RegeditScriptLine(backupDir);
    }
    return script;
}

std::vector<size_t> FolderSeparatorsFrom(const std::string& path, size_t start,
                                         LeadBytePredicate isLeadByte) {
    std::vector<size_t> positions;
    if (start >= path.size()) {
        return positions;
    }
    for (size_t i = 0; i < path.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        if (IsLead(isLeadByte, c) && i + 1 < path.size()) {
            ++i;
        } else if (c == '\\' && i >= start) {
            positions.push_back(i);
        }
    }
    return positions;
}
