// Times the two steps of the space calculation on a large installation: the scan of the
// game directory and the matching of a patch's file names against the inventory, with
// the dialog's own ScanGameDir, BuildPatchTargets and MatchPatchTargets.
//
//   space_bench [game-dir [files [targets [nested]]]]
//
// Defaults: Z:\tmp\kelvane-space-bench\Game, 200000 files, 50000 targets, 20 targets for
// the plain nested-loop comparison that the result is extrapolated from. The game directory
// is generated on first use (1,001 folders in two levels; a quarter of the file names recur
// in other folders in another case; file contents are holes) and reused afterwards.
// The listing holds 10% more names than targets: case variants of names already listed.
// A fifth of the targets name no file, so they become removal lines.
#include "app/KelvaneDlg.h"

#include "environment/Environment.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    ::QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Layout {
    int files;
    int uniqueNames; // names 0 .. uniqueNames-1 appear once first, then recur

    int NameOf(int i) const {
        return i < uniqueNames
                   ? i
                   : static_cast<int>((static_cast<int64_t>(i - uniqueNames) * 3) % uniqueNames);
    }
    // A recurring name never lands in the folder of its first occurrence.
    std::string FolderOf(int i) const {
        const int folder = i < uniqueNames ? i % 1001 : (NameOf(i) % 1001 + 1 + i % 1000) % 1001;
        if (folder == 1000) {
            return std::string();
        }
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "\\Dir%02d\\Sub%02d", folder / 25, folder % 25);
        return buffer;
    }
    std::string FileNameOf(int i) const {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, i < uniqueNames ? "file%06d.dat" : "FILE%06d.DAT",
                      NameOf(i));
        return buffer;
    }
    static uint64_t SizeOf(int i) { return (static_cast<uint64_t>(i) * 7919u) % 65536u + 1u; }
};

bool Exists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Generate(const std::string& gameDir, const Layout& layout) {
    const std::string marker = gameDir + ".complete-v2-" + std::to_string(layout.files);
    if (Exists(marker)) {
        return true;
    }
    std::printf("generating %d files in %s ...\n", layout.files, gameDir.c_str());
    const double start = Now();
    for (size_t i = 3; i <= gameDir.size(); ++i) {
        if (i == gameDir.size() || gameDir[i] == '\\') {
            ::CreateDirectoryA(gameDir.substr(0, i).c_str(), nullptr);
        }
    }
    for (int d = 0; d < 40; ++d) {
        char top[32];
        std::snprintf(top, sizeof top, "\\Dir%02d", d);
        ::CreateDirectoryA((gameDir + top).c_str(), nullptr);
        for (int s = 0; s < 25; ++s) {
            char sub[32];
            std::snprintf(sub, sizeof sub, "\\Dir%02d\\Sub%02d", d, s);
            ::CreateDirectoryA((gameDir + sub).c_str(), nullptr);
        }
    }
    for (int i = 0; i < layout.files; ++i) {
        const std::string path = gameDir + layout.FolderOf(i) + "\\" + layout.FileNameOf(i);
        HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "cannot create %s (error %lu)\n", path.c_str(), ::GetLastError());
            return false;
        }
        LARGE_INTEGER size;
        size.QuadPart = static_cast<LONGLONG>(Layout::SizeOf(i));
        ::SetFilePointerEx(h, size, nullptr, FILE_BEGIN);
        ::SetEndOfFile(h);
        ::CloseHandle(h);
    }
    HANDLE h = ::CreateFileA(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    ::CloseHandle(h);
    std::printf("generated in %.1f s\n", Now() - start);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const std::string gameDir = argc > 1 ? argv[1] : "Z:\\tmp\\kelvane-space-bench\\Game";
    const int files = argc > 2 ? std::atoi(argv[2]) : 200000;
    const int targets = argc > 3 ? std::atoi(argv[3]) : 50000;
    const int nested = argc > 4 ? std::atoi(argv[4]) : 20;
    const Layout layout{files, files - files / 4};
    if (files < 4 || targets < 10 || !Generate(gameDir, layout)) {
        return 1;
    }

    // The listing: existing names (every other one in upper case), then names of no file,
    // then case variants of listed names that the duplicate removal has to drop.
    const int existing = targets - targets / 5;
    std::list<std::string> listing;
    std::vector<int> listedNames;
    for (int k = 0; k < existing; ++k) {
        const int name = static_cast<int>((static_cast<int64_t>(k) * 37) % layout.uniqueNames);
        listedNames.push_back(name);
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, k % 2 ? "FILE%06d.dat" : "file%06d.DAT", name);
        listing.push_back(buffer);
    }
    for (int k = 0; k < targets - existing; ++k) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "new%06d.dat", k);
        listing.push_back(buffer);
    }
    for (int k = 0; k < targets / 10; ++k) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "File%06d.Dat", listedNames[static_cast<size_t>(k)]);
        listing.push_back(buffer);
    }

    // What the match must find, from the layout alone.
    std::map<int, std::pair<size_t, uint64_t>> byName;
    for (int i = 0; i < files; ++i) {
        auto& slot = byName[layout.NameOf(i)];
        slot.first += 1;
        slot.second += Layout::SizeOf(i);
    }
    size_t expectedEntries = static_cast<size_t>(targets - existing);
    uint64_t expectedSum = 0;
    {
        std::map<int, bool> seen;
        for (int name : listedNames) {
            if (seen[name]) {
                continue; // 37 and the name count share no factor, but keep it exact
            }
            seen[name] = true;
            expectedEntries += byName[name].first;
            expectedSum += byName[name].second;
        }
    }

    CKelvaneDlg dlg;
    dlg.m_strGameDir = gameDir;

    for (int round = 1; round <= 2; ++round) {
        dlg.m_listGameFiles.clear();
        const double start = Now();
        dlg.ScanGameDir(dlg.m_strGameDir);
        std::printf("scan %d:          %8.3f s  (%zu files)\n", round, Now() - start,
                    dlg.m_listGameFiles.size());
    }

    dlg.m_listEngineListing = listing;
    double start = Now();
    dlg.BuildPatchTargets();
    const double distinctTime = Now() - start;
    start = Now();
    const uint64_t sum = dlg.MatchPatchTargets();
    const double matchTime = Now() - start;
    std::printf("duplicate removal: %7.3f s  (%zu names -> %zu targets)\n", distinctTime,
                listing.size(), dlg.m_listPatchTargets.size());
    std::printf("match:             %7.3f s  (%zu entries, %llu bytes)\n", matchTime,
                dlg.m_listFilesToBackUp.size(), static_cast<unsigned long long>(sum));
    std::printf("after the scan:    %7.3f s\n", distinctTime + matchTime);

    // The same question answered by plain nested loops for the first few targets.
    if (nested > 0) {
        start = Now();
        size_t found = 0;
        int done = 0;
        for (auto it = dlg.m_listPatchTargets.begin();
             it != dlg.m_listPatchTargets.end() && done < nested; ++it, ++done) {
            for (const GameFileEntry& e : dlg.m_listGameFiles) {
                if (::CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE,
                                     FileNameOf(e.path).c_str(), -1, it->c_str(),
                                     -1) == CSTR_EQUAL) {
                    ++found;
                }
            }
        }
        const double perTarget = (Now() - start) / done;
        std::printf("nested loops:      %7.3f s per target, %.0f s for all %zu targets "
                    "(extrapolated)\n",
                    perTarget, perTarget * static_cast<double>(dlg.m_listPatchTargets.size()),
                    dlg.m_listPatchTargets.size());
        (void)found;
    }

    const bool ok = dlg.m_listGameFiles.size() == static_cast<size_t>(files) &&
                    dlg.m_listPatchTargets.size() == static_cast<size_t>(targets) &&
                    dlg.m_listFilesToBackUp.size() == expectedEntries && sum == expectedSum;
    std::printf("check:             %s (expected %zu entries, %llu bytes)\n",
                ok ? "ok" : "MISMATCH", expectedEntries,
                static_cast<unsigned long long>(expectedSum));
    return ok ? 0 : 2;
}
