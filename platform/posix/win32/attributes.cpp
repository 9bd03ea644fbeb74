// attributes.cpp - GetFileAttributesW, GetFileAttributesExW and GetFileInformationByHandle from lstat and fstat, in
// Windows' terms; SetFileAttributesW. A symbolic link is a reparse point, and a directory as well when it points to one;
// it is never followed. Every placeholder, file or directory, is a reparse point too, as the provider's own process
// sees it on Windows (its tag tells it from a link); one without its data carries FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS.
// A FIFO, socket or device node is FILE_ATTRIBUTE_DEVICE: no file whose data can be read. A placeholder's pin state is
// FILE_ATTRIBUTE_PINNED or FILE_ATTRIBUTE_UNPINNED, which SetFileAttributesW sets through the emulated filter.
#include "platform/posix/filter/cloud_filter.h"
#include "platform/posix/filter/filter_hooks.h"
#include "platform/posix/win32/standin_internal.h"

#include <sys/stat.h>

#include <cerrno>

namespace posix {

DWORD AttributesOfStat(const std::string& posixPath, const struct stat& st, const KnownState* known) {
    if (S_ISLNK(st.st_mode)) {
        struct stat target;
        DWORD attributes = FILE_ATTRIBUTE_REPARSE_POINT;
        if (stat(posix::SysPath(posixPath).c_str(), &target) == 0 && S_ISDIR(target.st_mode))
            attributes |= FILE_ATTRIBUTE_DIRECTORY;
        return attributes;
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DEVICE;
    DWORD attributes = 0;
    if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if ((st.st_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    KnownState read;
    if (known == nullptr) read.placeholder = cfemu::ReadStateAt(posixPath, &read.state);
    const KnownState& facts = known != nullptr ? *known : read;
    if (facts.placeholder) {
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        // A placeholder whose data is not here says so, as on Windows. (Its blocks cannot tell: an extended-attribute
        // block of its own counts among them on ext4.)
        if (S_ISREG(st.st_mode) && st.st_size > 0 && (facts.state.flags & cfemu::kStateHydrated) == 0) {
            attributes |= FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS;
        }
        if (facts.state.pin == CF_PIN_STATE_PINNED) attributes |= FILE_ATTRIBUTE_PINNED;
        if (facts.state.pin == CF_PIN_STATE_UNPINNED) attributes |= FILE_ATTRIBUTE_UNPINNED;
    }
    // NORMAL stands only alone, as Windows reports it.
    return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

DWORD ReparseTagOf(const struct stat& st, const KnownState& known) {
    if (S_ISLNK(st.st_mode)) return IO_REPARSE_TAG_SYMLINK;
    return known.placeholder ? kPlaceholderTag : 0;
}

}  // namespace posix

extern "C" DWORD GetFileAttributesW(LPCWSTR fileName) {
    std::string path = posix::AbsolutePosixPath(fileName);
    struct stat st;
    if (lstat(posix::SysPath(path).c_str(), &st) != 0) {
        posix::SetLastErrorFromErrno(errno, path);
        return INVALID_FILE_ATTRIBUTES;
    }
    return posix::AttributesOfStat(path, st);
}

extern "C" BOOL GetFileAttributesExW(LPCWSTR fileName, GET_FILEEX_INFO_LEVELS level, LPVOID info) {
    if (level != GetFileExInfoStandard || info == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string path = posix::AbsolutePosixPath(fileName);
    struct stat st;
    if (lstat(posix::SysPath(path).c_str(), &st) != 0) {
        posix::SetLastErrorFromErrno(errno, path);
        return FALSE;
    }
    WIN32_FILE_ATTRIBUTE_DATA* data = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(info);
    posix::FillFileData(data, path, st);
    return TRUE;
}

// The volume and file index name the file itself, whatever path leads to it now: the device and inode number.
extern "C" BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
    posix::Handle* handle = posix::HandleOf(file, posix::HandleKind::File);
    if (handle == nullptr) return FALSE;
    if (information == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct stat st;
    if (fstat(handle->fd, &st) != 0) {
        posix::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    posix::FillFileData(&data, handle->path, st, handle->fd);
    information->dwFileAttributes = data.dwFileAttributes;
    information->ftCreationTime = data.ftCreationTime;
    information->ftLastAccessTime = data.ftLastAccessTime;
    information->ftLastWriteTime = data.ftLastWriteTime;
    information->dwVolumeSerialNumber = static_cast<DWORD>(st.st_dev);
    information->nFileSizeHigh = data.nFileSizeHigh;
    information->nFileSizeLow = data.nFileSizeLow;
    information->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
    information->nFileIndexHigh = static_cast<DWORD>(static_cast<unsigned long long>(st.st_ino) >> 32);
    information->nFileIndexLow = static_cast<DWORD>(st.st_ino & 0xFFFFFFFFu);
    return TRUE;
}

// Of the attributes a program sets, POSIX keeps only read-only, as the file's write permission bits; the others
// (hidden, system, archive) have no place there and are accepted as Windows accepts them. A directory's read-only
// bit does not keep files from being added on Windows, so a directory's mode stays. The pin bits go to the emulated
// filter first: a refusal there changes nothing.
extern "C" BOOL SetFileAttributesW(LPCWSTR fileName, DWORD attributes) {
    std::string path = posix::AbsolutePosixPath(fileName);
    struct stat st;
    if (lstat(posix::SysPath(path).c_str(), &st) != 0) {
        posix::SetLastErrorFromErrno(errno, path);
        return FALSE;
    }
    if (DWORD refused = cfemu::SetPinFromAttributes(path, attributes); refused != ERROR_SUCCESS) {
        SetLastError(refused);
        return FALSE;
    }
    if (!S_ISREG(st.st_mode)) return TRUE;
    mode_t mode = st.st_mode & 07777;
    mode = (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? (mode & ~static_cast<mode_t>(0222)) : (mode | S_IWUSR);
    if (mode != (st.st_mode & 07777) && chmod(posix::SysPath(path).c_str(), mode) != 0) {
        posix::SetLastErrorFromErrno(errno, path);
        return FALSE;
    }
    return TRUE;
}
