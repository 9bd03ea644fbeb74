// create_info.cpp - the creation record of a placeholder that copies a local file's size and times.
#include "placeholders/create_info.h"

#include "layout/provider_paths.h"

CF_PLACEHOLDER_CREATE_INFO CreateInfoFromFile(LPCWSTR relativeFileName, const WIN32_FILE_ATTRIBUTE_DATA& data,
                                              const std::vector<BYTE>& identity) {
    CF_PLACEHOLDER_CREATE_INFO entry = {};
    entry.RelativeFileName = relativeFileName;
    entry.FsMetadata.BasicInfo.CreationTime.QuadPart = FileTimeToInt64(data.ftCreationTime);
    entry.FsMetadata.BasicInfo.LastAccessTime.QuadPart = FileTimeToInt64(data.ftLastAccessTime);
    entry.FsMetadata.BasicInfo.LastWriteTime.QuadPart = FileTimeToInt64(data.ftLastWriteTime);
    entry.FsMetadata.BasicInfo.ChangeTime.QuadPart = FileTimeToInt64(data.ftLastWriteTime);
    entry.FsMetadata.BasicInfo.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    entry.FsMetadata.FileSize.QuadPart =
        static_cast<LONGLONG>((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    entry.FileIdentity = identity.data();
    entry.FileIdentityLength = static_cast<DWORD>(identity.size());
    entry.Flags = CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC;
    return entry;
}
