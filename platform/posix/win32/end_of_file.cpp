// end_of_file.cpp - SetEndOfFile: the file ends at its handle's position, shortened or extended.
// A placeholder is hydrated first and then counts as written, as with every other change of its data.
#include "platform/posix/filter/filter_hooks.h"
#include "platform/posix/win32/standin_internal.h"

#include <unistd.h>

#include <cerrno>

extern "C" BOOL SetEndOfFile(HANDLE file) {
    using posix::kFileWriteData;
    using posix::kGenericAll;
    posix::Handle* handle = posix::HandleOf(file, posix::HandleKind::File);
    if (handle == nullptr) return FALSE;
    if ((handle->access & (GENERIC_WRITE | kGenericAll | kFileWriteData)) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // Without the old data first, the filter would later fetch it into a file whose size has already changed.
    if (handle->placeholder) {
        DWORD error = cfemu::EnsureHydrated(*handle);
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return FALSE;
        }
    }
    off_t end = lseek(handle->fd, 0, SEEK_CUR);
    if (end < 0 || ftruncate(handle->fd, end) != 0) {
        posix::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    if (handle->placeholder) cfemu::NoteDataWritten(*handle);
    return TRUE;
}
