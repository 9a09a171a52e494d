#include "backup/logic/UndoScript.h"

#include <algorithm>

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

std::string RemovalLineFor(const std::string& file) {
    return "if not exist " + QuoteForScript(file + "\\*") + " del /f /a " + QuoteForScript(file) +
           "\n";
}

// The folder is made again first when the patch removed it: copy cannot make folders.
std::string CopyLinesFor(const std::string& entry, const std::string& gameDir,
                         const std::string& backupDir, LeadBytePredicate isLeadByte) {
    const std::string relativePath = RelativePathOf(entry, gameDir.size());
    std::string lines;
    const size_t nameLength = FileNameOfPath(relativePath, isLeadByte).size();
    if (nameLength < relativePath.size() && nameLength < entry.size()) {
        const std::string folder = entry.substr(0, entry.size() - nameLength - 1);
        lines = "if not exist " + QuoteForScript(folder + "\\") + " mkdir " +
                QuoteForScript(folder) + "\n";
    }
    return lines + "copy /Y " + QuoteForScript(BackupCopyPathOf(backupDir, relativePath)) + " " +
           QuoteForScript(entry) + "\n";
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

std::string UndoRegText(const std::string& version, LeadBytePredicate isLeadByte) {
    std::string value;
    for (size_t i = 0; i < version.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(version[i]);
        if (IsLead(isLeadByte, c) && i + 1 < version.size()) {
            value += version[i];
            value += version[++i];
        } else if (c == '\\' || c == '"') {
            value += '\\';
            value += static_cast<char>(c);
        } else if (c >= 0x20 && c != 0x7F) {
            value += static_cast<char>(c);
        }
    }
    return "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\Tarrowsaga\\Moorgate]\n"
           "\"Version\"=\"" +
           value + "\"\n";
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

std::string PinnedRemovalName(const std::string& entry, const std::string& gameDir,
                              LeadBytePredicate isLeadByte) {
    const std::string prefix = kRemovalStart + gameDir + "\\.\\";
    if (entry.compare(0, prefix.size(), prefix) != 0) {
        return {};
    }
    std::string name = entry.substr(prefix.size());
    if (FileNameOfPath(name, isLeadByte) == name) {
        return {};
    }
    // A slash separates folders too, and cmd could read one as a switch. No double-byte
    // code page has a trail byte of that value.
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
}

std::string RelativePathOf(const std::string& entry, size_t gameDirLength) {
    const size_t cut = gameDirLength + 1;
    return cut < entry.size() ? entry.substr(cut) : std::string();
}

std::string BackupCopyPathOf(const std::string& backupDir, const std::string& relativePath) {
    return backupDir + "\\" + relativePath;
}

std::string ComposeUndoBat(const UndoPlan& plan, LeadBytePredicate isLeadByte) {
    std::string script = kUndoBatTitle;
    script += kUndoBatNoDelayedExpansion;
    if (plan.codePage != 0) {
        script += "chcp " + std::to_string(plan.codePage) + " >nul\nif errorlevel 1 exit /b 1\n";
    }
    script += kUndoBatChangeDir;
    script += kUndoBatRemovalsTitle;
    for (const std::string& entry : plan.entries) {
        if (!IsRemovalEntry(entry)) {
            continue;
        }
        const std::string name = PinnedRemovalName(entry, plan.gameDir, isLeadByte);
        if (name.empty()) {
            continue; // a bare name: its files are among plan.addedFiles
        }
        script += IsPlainAddedFileName(name, isLeadByte)
                      ? RemovalLineFor(plan.gameDir + "\\" + name)
                      : kUndoBatRemovalLeftOut;
    }
    for (const std::string& file : plan.addedFiles) {
        script += RemovalLineFor(file);
    }
    std::vector<std::string> folders = plan.createdFolders;
    // A folder's path is longer than its parent's: the longest go first.
    std::stable_sort(
        folders.begin(), folders.end(),
        [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& folder : folders) {
        script += "rd " + QuoteForScript(folder) + " 2>nul\n";
    }
    script += kUndoBatCopiesTitle;
    for (const std::string& entry : plan.entries) {
        if (!IsRemovalEntry(entry)) {
            script += CopyLinesFor(entry, plan.gameDir, plan.backupDir, isLeadByte);
        }
    }
    if (plan.version.available) {
        script += kUndoBatVersionTitle;
        if (plan.version.fromFallback) {
            script += kUndoBatFallbackNote;
        }
        script += "regedit /s " + QuoteForScript(plan.backupDir + "\\" + kUndoRegName) + "\n";
    }
    return script;
}

void NoteCreatedFolders(UndoPlan& plan, const std::string& file, const KeySet& foldersBefore,
                        const PathKeyFn& key, LeadBytePredicate isLeadByte) {
    for (size_t separator : FolderSeparatorsFrom(file, plan.gameDir.size() + 1, isLeadByte)) {
        const std::string folder = file.substr(0, separator);
        if (foldersBefore.count(key(folder)) == 0 &&
            std::find(plan.createdFolders.begin(), plan.createdFolders.end(), folder) ==
                plan.createdFolders.end()) {
            plan.createdFolders.push_back(folder);
        }
    }
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
