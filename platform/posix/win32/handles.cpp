// handles.cpp - what a HANDLE is in the stand-in, and CloseHandle for every kind of it.
// A HANDLE points to a posix::Handle; the current-process pseudo handle is a static one that is never freed.
#include "platform/posix/win32/standin_internal.h"

#include <sys/wait.h>

namespace posix {

Handle* HandleOf(HANDLE object, HandleKind kind) {
    if (object == nullptr || object == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    Handle* handle = static_cast<Handle*>(object);
    if (handle->kind != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return handle;
}

}  // namespace posix

extern "C" BOOL CloseHandle(HANDLE object) {
    if (object == nullptr || object == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    posix::Handle* handle = static_cast<posix::Handle*>(object);
    switch (handle->kind) {
        case posix::HandleKind::File:
            if (handle->watch != nullptr) posix::FreeDirectoryWatch(*handle);
            posix::CloseFileHandle(handle);
            return TRUE;
        case posix::HandleKind::Find:
            return FindClose(object);
        case posix::HandleKind::PseudoProcess:
            return TRUE;  // closing the pseudo handle does nothing, as on Windows
        case posix::HandleKind::Process:
            // Closing a process handle neither waits for nor ends the child; one already gone is reaped.
            if (handle->pid > 0 && !handle->exited) waitpid(handle->pid, nullptr, WNOHANG);
            delete handle;
            return TRUE;
        case posix::HandleKind::Token:
            delete handle;
            return TRUE;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
