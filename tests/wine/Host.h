// The Windows host of the tool's tests, without the dialog: scratch folders and files on the
// Wine C: drive, the game's registry entry, game trees and programs run to their end. Shared
// by the Wine tests and the end-to-end runs.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace kt {

std::string BuildDir();                        // the build folder, as a Windows path
std::string BuildFile(const std::string& rel); // a file below the build folder
std::string ArtifactsDir();                    // %KELVANE_ARTIFACTS%, else <build>\artifacts
std::string ScratchRoot();                     // C:\kelvane-tests, created on demand
// A fresh empty folder below the scratch root, removed again by the destructor.
class ScratchDir {
  public:
    explicit ScratchDir(const std::string& name);
    ~ScratchDir();
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& rel) const { return m_path + "\\" + rel; }

  private:
    std::string m_path;
};
void MakeDirs(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes); // creates parents
std::string ReadFileBytes(const std::string& path);
bool PathExists(const std::string& path);
void RemoveTree(const std::string& path);
void CopyFileOrDie(const std::string& from, const std::string& to);

// Game trees: relative path -> bytes; folders (every level) as "rel\" -> "".
using Tree = std::map<std::string, std::string>;
Tree Snapshot(const std::string& dir);
// Every file and folder of a game folder with its bytes, leaving out the engine library.
Tree GameFiles(const std::string& dir);
void WriteTree(const std::string& dir, const Tree& tree);
// Bytes that change from version to version in a few places only, as game data does: size
// pseudo-random bytes from seed, with 64 bytes from changeAt set to change (when not 0).
std::string GameData(size_t size, unsigned seed, size_t changeAt = 0, char change = 0);

// The game's registry entry (HKLM\SOFTWARE\Brackwater\Tarrowsaga\Moorgate).
void SetGameRegistry(const std::optional<std::string>& location,
                     const std::optional<std::string>& version = std::nullopt);
void SetGameRegistryRaw(const char* name, const std::string& bytes, DWORD type = REG_SZ);
std::string ReadGameRegistry(const char* name); // "(none)" when the value is missing
void DeleteGameRegistry();

// Runs a command line with a current directory ("" for this one's) to its end; its exit
// code, or -1 when it cannot start or is still running after the time limit (then it is
// ended). What it prints goes to the file `log` ("" for nowhere).
int RunProgram(const std::string& commandLine, const std::string& currentDir,
               const std::string& log, DWORD timeoutMs = 120000);

// Dispatches pending window messages of this thread.
void PumpMessages();

} // namespace kt
