#include "framework/Framework.h"

#include <mbstring.h>

namespace fw {

// ---------------------------------------------------------------------------
bool FileFind::FindFile(const std::string& pattern) {
    Close();
    m_hFind = ::FindFirstFileA(pattern.c_str(), &m_next);
    if (m_hFind == INVALID_HANDLE_VALUE) {
        return false;
    }
    m_hasNext = true;
    // The folder part of the pattern: everything up to its last separator.
    const unsigned char* s = reinterpret_cast<const unsigned char*>(pattern.c_str());
    const unsigned char* last = _mbsrchr(s, '\\');
    const unsigned char* colon = _mbsrchr(s, ':');
    if (last == nullptr || (colon != nullptr && colon > last)) {
        last = colon;
    }
    m_root = last != nullptr ? pattern.substr(0, static_cast<size_t>(last - s) + 1) : std::string();
    return true;
}

bool FileFind::FindNextFile() {
    if (m_hFind == INVALID_HANDLE_VALUE || !m_hasNext) {
        return false;
    }
    m_current = m_next;
    m_hasNext = ::FindNextFileA(m_hFind, &m_next) != FALSE;
    return m_hasNext;
}

void FileFind::Close() {
    if (m_hFind != INVALID_HANDLE_VALUE) {
        ::FindClose(m_hFind);
        m_hFind = INVALID_HANDLE_VALUE;
    }
    m_hasNext = false;
}

bool FileFind::IsDots() const {
    const char* n = m_current.cFileName;
    return IsDirectory() && n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'));
}

bool FileFind::IsDirectory() const {
    return (m_current.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string FileFind::GetFileName() const {
    return m_current.cFileName;
}

std::string FileFind::GetFilePath() const {
    return m_root + m_current.cFileName;
}

uint64_t FileFind::GetLength() const {
    return (static_cast<uint64_t>(m_current.nFileSizeHigh) << 32) | m_current.nFileSizeLow;
}

DWORD FileFind::GetAttributes() const {
    return m_current.dwFileAttributes;
}

// ---------------------------------------------------------------------------
File::~File() {
    if (IsOpen()) {
        ::CloseHandle(m_h);
    }
}

bool File::OpenForWrite(const std::string& path) {
    m_h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    m_failed = false;
    return IsOpen();
}

bool File::Write(const std::string& bytes) {
    if (!IsOpen() || m_failed) {
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD chunk =
            static_cast<DWORD>(bytes.size() - done > 0x10000000 ? 0x10000000 : bytes.size() - done);
        DWORD written = 0;
        if (!::WriteFile(m_h, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
            m_failed = true;
            return false;
        }
        done += written;
    }
    return true;
}

bool File::Close() {
    if (!IsOpen()) {
        return false;
    }
    bool ok = !m_failed;
    if (!::FlushFileBuffers(m_h)) {
        ok = false;
    }
    if (!::CloseHandle(m_h)) {
        ok = false;
    }
    m_h = INVALID_HANDLE_VALUE;
    return ok;
}

} // namespace fw
