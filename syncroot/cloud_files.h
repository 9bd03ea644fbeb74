// cloud_files.h - the Cloud Files types, constants and the thirteen operations the provider calls.
// Declared here with the platform's names, field order and x64 layout; the calls go to one active backend.
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <cstdint>

// ---- Statuses ----
#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS ((NTSTATUS)0x00000000)
#endif
#define STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING ((NTSTATUS)0xC000CF01)
#define STATUS_CLOUD_FILE_NOT_IN_SYNC ((NTSTATUS)0xC000CF08)
#define STATUS_CLOUD_FILE_ALREADY_CONNECTED ((NTSTATUS)0xC000CF09)
#define STATUS_CLOUD_FILE_NOT_SUPPORTED ((NTSTATUS)0xC000CF0A)
#define STATUS_CLOUD_FILE_INVALID_REQUEST ((NTSTATUS)0xC000CF0B)
#define STATUS_CLOUD_FILE_CONNECTED_PROVIDER_ONLY ((NTSTATUS)0xC000CF0D)
#define STATUS_CLOUD_FILE_AUTHENTICATION_FAILED ((NTSTATUS)0xC000CF0F)
#define STATUS_CLOUD_FILE_UNSUCCESSFUL ((NTSTATUS)0xC000CF12)
#define STATUS_CLOUD_FILE_NOT_UNDER_SYNC_ROOT ((NTSTATUS)0xC000CF13)
#define STATUS_CLOUD_FILE_IN_USE ((NTSTATUS)0xC000CF14)
#define STATUS_CLOUD_FILE_PINNED ((NTSTATUS)0xC000CF15)
#define STATUS_CLOUD_FILE_REQUEST_CANCELED ((NTSTATUS)0xC000CF1B)
#define STATUS_CLOUD_FILE_PROVIDER_TERMINATED ((NTSTATUS)0xC000CF1D)
#define STATUS_CLOUD_FILE_REQUEST_TIMEOUT ((NTSTATUS)0xC000CF1F)

// HRESULTs the program compares against (FACILITY_WIN32 forms of the Win32 codes).
constexpr HRESULT kHrFileNotFound = static_cast<HRESULT>(0x80070002);
constexpr HRESULT kHrAlreadyExists = static_cast<HRESULT>(0x800700B7);
constexpr HRESULT kHrInvalidFunction = static_cast<HRESULT>(0x80070001);
constexpr HRESULT kHrCloudNotUnderSyncRoot = static_cast<HRESULT>(0x80070186);
constexpr HRESULT kHrCloudInUse = static_cast<HRESULT>(0x80070187);
constexpr HRESULT kHrCloudPinned = static_cast<HRESULT>(0x80070188);  // a pinned placeholder refuses dehydration
constexpr HRESULT kHrMoreData = static_cast<HRESULT>(0x800700EA);
constexpr HRESULT kHrNotACloudFile = static_cast<HRESULT>(0x80070178);
constexpr HRESULT kHrCloudNotInSync = static_cast<HRESULT>(0x80070179);
constexpr HRESULT kHrCloudInvalidRequest = static_cast<HRESULT>(0x8007017C);
constexpr HRESULT kHrCloudConnectedProviderOnly = static_cast<HRESULT>(0x8007017E);

// ---- Keys ----
typedef struct CF_CONNECTION_KEY {
    LONGLONG Internal;
} CF_CONNECTION_KEY;
typedef LARGE_INTEGER CF_TRANSFER_KEY;
typedef LARGE_INTEGER CF_REQUEST_KEY;
#define CF_REQUEST_KEY_DEFAULT 0
#define CF_EOF ((LONGLONG)-1)
#define CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH 4096

// ---- Enums (fixed 32-bit values; NONE of the callback type is 0xFFFFFFFF) ----
typedef uint32_t CF_CALLBACK_TYPE;
constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_FETCH_DATA = 0;
constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_VALIDATE_DATA = 1;
constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_CANCEL_FETCH_DATA = 2;
constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS = 3;
constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_CANCEL_FETCH_PLACEHOLDERS = 4;
constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_NOTIFY_FILE_OPEN_COMPLETION = 5;
constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION = 6;
constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE = 7;
constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE_COMPLETION = 8;
constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_NOTIFY_DELETE = 9;
constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_NOTIFY_DELETE_COMPLETION = 10;
constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_NOTIFY_RENAME = 11;
constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_NOTIFY_RENAME_COMPLETION = 12;
constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_NONE = 0xFFFFFFFFu;

typedef uint32_t CF_OPERATION_TYPE;
constexpr CF_OPERATION_TYPE CF_OPERATION_TYPE_TRANSFER_DATA = 0;
constexpr CF_OPERATION_TYPE CF_OPERATION_TYPE_RETRIEVE_DATA = 1;
constexpr CF_OPERATION_TYPE CF_OPERATION_TYPE_ACK_DATA = 2;
constexpr CF_OPERATION_TYPE CF_OPERATION_TYPE_RESTART_HYDRATION = 3;
constexpr CF_OPERATION_TYPE CF_OPERATION_TYPE_TRANSFER_PLACEHOLDERS = 4;
constexpr CF_OPERATION_TYPE CF_OPERATION_TYPE_ACK_DEHYDRATE = 5;
constexpr CF_OPERATION_TYPE CF_OPERATION_TYPE_ACK_DELETE = 6;
constexpr CF_OPERATION_TYPE CF_OPERATION_TYPE_ACK_RENAME = 7;

typedef uint32_t CF_CONNECT_FLAGS;
constexpr CF_CONNECT_FLAGS CF_CONNECT_FLAG_NONE = 0;
constexpr CF_CONNECT_FLAGS CF_CONNECT_FLAG_REQUIRE_PROCESS_INFO = 0x2;
constexpr CF_CONNECT_FLAGS CF_CONNECT_FLAG_REQUIRE_FULL_FILE_PATH = 0x4;
constexpr CF_CONNECT_FLAGS CF_CONNECT_FLAG_BLOCK_SELF_IMPLICIT_HYDRATION = 0x8;

typedef uint32_t CF_REGISTER_FLAGS;
constexpr CF_REGISTER_FLAGS CF_REGISTER_FLAG_NONE = 0;
constexpr CF_REGISTER_FLAGS CF_REGISTER_FLAG_UPDATE = 0x1;
constexpr CF_REGISTER_FLAGS CF_REGISTER_FLAG_DISABLE_ON_DEMAND_POPULATION_ON_ROOT = 0x2;
constexpr CF_REGISTER_FLAGS CF_REGISTER_FLAG_MARK_IN_SYNC_ON_ROOT = 0x4;

typedef uint32_t CF_CREATE_FLAGS;
constexpr CF_CREATE_FLAGS CF_CREATE_FLAG_NONE = 0;
constexpr CF_CREATE_FLAGS CF_CREATE_FLAG_STOP_ON_ERROR = 0x1;

typedef uint32_t CF_PLACEHOLDER_CREATE_FLAGS;
constexpr CF_PLACEHOLDER_CREATE_FLAGS CF_PLACEHOLDER_CREATE_FLAG_NONE = 0;
constexpr CF_PLACEHOLDER_CREATE_FLAGS CF_PLACEHOLDER_CREATE_FLAG_DISABLE_ON_DEMAND_POPULATION = 0x1;
constexpr CF_PLACEHOLDER_CREATE_FLAGS CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC = 0x2;
constexpr CF_PLACEHOLDER_CREATE_FLAGS CF_PLACEHOLDER_CREATE_FLAG_SUPERSEDE = 0x4;
constexpr CF_PLACEHOLDER_CREATE_FLAGS CF_PLACEHOLDER_CREATE_FLAG_ALWAYS_FULL = 0x8;

typedef uint32_t CF_HYDRATE_FLAGS;
constexpr CF_HYDRATE_FLAGS CF_HYDRATE_FLAG_NONE = 0;
typedef uint32_t CF_DEHYDRATE_FLAGS;
constexpr CF_DEHYDRATE_FLAGS CF_DEHYDRATE_FLAG_NONE = 0;
constexpr CF_DEHYDRATE_FLAGS CF_DEHYDRATE_FLAG_BACKGROUND = 0x1;

typedef uint32_t CF_PLACEHOLDER_INFO_CLASS;
constexpr CF_PLACEHOLDER_INFO_CLASS CF_PLACEHOLDER_INFO_BASIC = 0;
constexpr CF_PLACEHOLDER_INFO_CLASS CF_PLACEHOLDER_INFO_STANDARD = 1;
typedef uint32_t CF_PIN_STATE;
constexpr CF_PIN_STATE CF_PIN_STATE_UNSPECIFIED = 0;
constexpr CF_PIN_STATE CF_PIN_STATE_PINNED = 1;
constexpr CF_PIN_STATE CF_PIN_STATE_UNPINNED = 2;
constexpr CF_PIN_STATE CF_PIN_STATE_EXCLUDED = 3;
constexpr CF_PIN_STATE CF_PIN_STATE_INHERIT = 4;
typedef uint32_t CF_SET_PIN_FLAGS;
constexpr CF_SET_PIN_FLAGS CF_SET_PIN_FLAG_NONE = 0x0;
constexpr CF_SET_PIN_FLAGS CF_SET_PIN_FLAG_RECURSE = 0x1;
constexpr CF_SET_PIN_FLAGS CF_SET_PIN_FLAG_RECURSE_ONLY = 0x2;
constexpr CF_SET_PIN_FLAGS CF_SET_PIN_FLAG_RECURSE_STOP_ON_ERROR = 0x4;
typedef uint32_t CF_IN_SYNC_STATE;
constexpr CF_IN_SYNC_STATE CF_IN_SYNC_STATE_NOT_IN_SYNC = 0;
constexpr CF_IN_SYNC_STATE CF_IN_SYNC_STATE_IN_SYNC = 1;
typedef uint32_t CF_SET_IN_SYNC_FLAGS;
constexpr CF_SET_IN_SYNC_FLAGS CF_SET_IN_SYNC_FLAG_NONE = 0;

typedef uint32_t CF_CONVERT_FLAGS;
constexpr CF_CONVERT_FLAGS CF_CONVERT_FLAG_NONE = 0x0;
constexpr CF_CONVERT_FLAGS CF_CONVERT_FLAG_MARK_IN_SYNC = 0x1;
constexpr CF_CONVERT_FLAGS CF_CONVERT_FLAG_DEHYDRATE = 0x2;
constexpr CF_CONVERT_FLAGS CF_CONVERT_FLAG_ENABLE_ON_DEMAND_POPULATION = 0x4;
constexpr CF_CONVERT_FLAGS CF_CONVERT_FLAG_ALWAYS_FULL = 0x8;
constexpr CF_CONVERT_FLAGS CF_CONVERT_FLAG_FORCE_CONVERT_TO_CLOUD_FILE = 0x10;

typedef uint32_t CF_UPDATE_FLAGS;
constexpr CF_UPDATE_FLAGS CF_UPDATE_FLAG_NONE = 0x0;
constexpr CF_UPDATE_FLAGS CF_UPDATE_FLAG_VERIFY_IN_SYNC = 0x1;
constexpr CF_UPDATE_FLAGS CF_UPDATE_FLAG_MARK_IN_SYNC = 0x2;
constexpr CF_UPDATE_FLAGS CF_UPDATE_FLAG_DEHYDRATE = 0x4;
constexpr CF_UPDATE_FLAGS CF_UPDATE_FLAG_ENABLE_ON_DEMAND_POPULATION = 0x8;
constexpr CF_UPDATE_FLAGS CF_UPDATE_FLAG_DISABLE_ON_DEMAND_POPULATION = 0x10;
constexpr CF_UPDATE_FLAGS CF_UPDATE_FLAG_REMOVE_FILE_IDENTITY = 0x20;
constexpr CF_UPDATE_FLAGS CF_UPDATE_FLAG_CLEAR_IN_SYNC = 0x40;

typedef uint32_t CF_CALLBACK_CANCEL_FLAGS;
constexpr CF_CALLBACK_CANCEL_FLAGS CF_CALLBACK_CANCEL_FLAG_NONE = 0;
constexpr CF_CALLBACK_CANCEL_FLAGS CF_CALLBACK_CANCEL_FLAG_IO_TIMEOUT = 0x1;
constexpr CF_CALLBACK_CANCEL_FLAGS CF_CALLBACK_CANCEL_FLAG_IO_ABORTED = 0x2;
typedef uint32_t CF_CALLBACK_FETCH_DATA_FLAGS;
constexpr CF_CALLBACK_FETCH_DATA_FLAGS CF_CALLBACK_FETCH_DATA_FLAG_NONE = 0;
constexpr CF_CALLBACK_FETCH_DATA_FLAGS CF_CALLBACK_FETCH_DATA_FLAG_RECOVERY = 0x1;
constexpr CF_CALLBACK_FETCH_DATA_FLAGS CF_CALLBACK_FETCH_DATA_FLAG_EXPLICIT_HYDRATION = 0x2;
typedef uint32_t CF_CALLBACK_CLOSE_COMPLETION_FLAGS;
constexpr CF_CALLBACK_CLOSE_COMPLETION_FLAGS CF_CALLBACK_CLOSE_COMPLETION_FLAG_NONE = 0;
constexpr CF_CALLBACK_CLOSE_COMPLETION_FLAGS CF_CALLBACK_CLOSE_COMPLETION_FLAG_DELETED = 0x1;
typedef uint32_t CF_CALLBACK_DELETE_FLAGS;
constexpr CF_CALLBACK_DELETE_FLAGS CF_CALLBACK_DELETE_FLAG_NONE = 0;
constexpr CF_CALLBACK_DELETE_FLAGS CF_CALLBACK_DELETE_FLAG_IS_DIRECTORY = 0x1;
constexpr CF_CALLBACK_DELETE_FLAGS CF_CALLBACK_DELETE_FLAG_IS_UNDELETE = 0x2;
typedef uint32_t CF_CALLBACK_RENAME_FLAGS;
constexpr CF_CALLBACK_RENAME_FLAGS CF_CALLBACK_RENAME_FLAG_NONE = 0;
constexpr CF_CALLBACK_RENAME_FLAGS CF_CALLBACK_RENAME_FLAG_IS_DIRECTORY = 0x1;
constexpr CF_CALLBACK_RENAME_FLAGS CF_CALLBACK_RENAME_FLAG_SOURCE_IN_SCOPE = 0x2;
constexpr CF_CALLBACK_RENAME_FLAGS CF_CALLBACK_RENAME_FLAG_TARGET_IN_SCOPE = 0x4;
typedef uint32_t CF_CALLBACK_DEHYDRATION_REASON;

typedef uint32_t CF_OPERATION_TRANSFER_DATA_FLAGS;
constexpr CF_OPERATION_TRANSFER_DATA_FLAGS CF_OPERATION_TRANSFER_DATA_FLAG_NONE = 0;
typedef uint32_t CF_OPERATION_ACK_DELETE_FLAGS;
constexpr CF_OPERATION_ACK_DELETE_FLAGS CF_OPERATION_ACK_DELETE_FLAG_NONE = 0;
typedef uint32_t CF_OPERATION_ACK_RENAME_FLAGS;
constexpr CF_OPERATION_ACK_RENAME_FLAGS CF_OPERATION_ACK_RENAME_FLAG_NONE = 0;

// Policies: USHORT-sized primaries and modifiers, 32-bit bit sets.
typedef USHORT CF_HYDRATION_POLICY_PRIMARY_USHORT;
typedef USHORT CF_HYDRATION_POLICY_MODIFIER_USHORT;
typedef USHORT CF_POPULATION_POLICY_PRIMARY_USHORT;
typedef USHORT CF_POPULATION_POLICY_MODIFIER_USHORT;
constexpr USHORT CF_HYDRATION_POLICY_PARTIAL = 0;
constexpr USHORT CF_HYDRATION_POLICY_PROGRESSIVE = 1;
constexpr USHORT CF_HYDRATION_POLICY_FULL = 2;
constexpr USHORT CF_HYDRATION_POLICY_ALWAYS_FULL = 3;
constexpr USHORT CF_HYDRATION_POLICY_MODIFIER_NONE = 0;
constexpr USHORT CF_POPULATION_POLICY_PARTIAL = 0;
constexpr USHORT CF_POPULATION_POLICY_FULL = 2;
constexpr USHORT CF_POPULATION_POLICY_ALWAYS_FULL = 3;
constexpr USHORT CF_POPULATION_POLICY_MODIFIER_NONE = 0;
typedef uint32_t CF_INSYNC_POLICY;
constexpr CF_INSYNC_POLICY CF_INSYNC_POLICY_NONE = 0;
constexpr CF_INSYNC_POLICY CF_INSYNC_POLICY_TRACK_FILE_LAST_WRITE_TIME = 0x100;
typedef uint32_t CF_HARDLINK_POLICY;
constexpr CF_HARDLINK_POLICY CF_HARDLINK_POLICY_NONE = 0;
typedef uint32_t CF_PLACEHOLDER_MANAGEMENT_POLICY;
constexpr CF_PLACEHOLDER_MANAGEMENT_POLICY CF_PLACEHOLDER_MANAGEMENT_POLICY_DEFAULT = 0;
constexpr CF_PLACEHOLDER_MANAGEMENT_POLICY CF_PLACEHOLDER_MANAGEMENT_POLICY_CREATE_UNRESTRICTED = 0x1;
constexpr CF_PLACEHOLDER_MANAGEMENT_POLICY CF_PLACEHOLDER_MANAGEMENT_POLICY_CONVERT_TO_UNRESTRICTED = 0x2;
constexpr CF_PLACEHOLDER_MANAGEMENT_POLICY CF_PLACEHOLDER_MANAGEMENT_POLICY_UPDATE_UNRESTRICTED = 0x4;

// ---- Structures ----
typedef struct CF_FS_METADATA {
    FILE_BASIC_INFO BasicInfo;
    LARGE_INTEGER FileSize;
} CF_FS_METADATA;

typedef struct CF_FILE_RANGE {
    LARGE_INTEGER StartingOffset;
    LARGE_INTEGER Length;
} CF_FILE_RANGE;

typedef struct CF_PLACEHOLDER_CREATE_INFO {
    LPCWSTR RelativeFileName;
    CF_FS_METADATA FsMetadata;
    LPCVOID FileIdentity;
    DWORD FileIdentityLength;
    CF_PLACEHOLDER_CREATE_FLAGS Flags;
    HRESULT Result;
    USN CreateUsn;
} CF_PLACEHOLDER_CREATE_INFO;

typedef struct CF_SYNC_REGISTRATION {
    ULONG StructSize;
    LPCWSTR ProviderName;
    LPCWSTR ProviderVersion;
    LPCVOID SyncRootIdentity;
    DWORD SyncRootIdentityLength;
    LPCVOID FileIdentity;
    DWORD FileIdentityLength;
    GUID ProviderId;
} CF_SYNC_REGISTRATION;

typedef struct CF_HYDRATION_POLICY {
    CF_HYDRATION_POLICY_PRIMARY_USHORT Primary;
    CF_HYDRATION_POLICY_MODIFIER_USHORT Modifier;
} CF_HYDRATION_POLICY;

typedef struct CF_POPULATION_POLICY {
    CF_POPULATION_POLICY_PRIMARY_USHORT Primary;
    CF_POPULATION_POLICY_MODIFIER_USHORT Modifier;
} CF_POPULATION_POLICY;

typedef struct CF_SYNC_POLICIES {
    ULONG StructSize;
    CF_HYDRATION_POLICY Hydration;
    CF_POPULATION_POLICY Population;
    CF_INSYNC_POLICY InSync;
    CF_HARDLINK_POLICY HardLink;
    CF_PLACEHOLDER_MANAGEMENT_POLICY PlaceholderManagement;
} CF_SYNC_POLICIES;

typedef struct CF_PROCESS_INFO {
    DWORD StructSize;
    DWORD ProcessId;
    PCWSTR ImagePath;
    PCWSTR PackageName;
    PCWSTR ApplicationId;
    PCWSTR CommandLine;
    DWORD SessionId;
} CF_PROCESS_INFO;

typedef struct CF_CALLBACK_INFO {
    DWORD StructSize;
    CF_CONNECTION_KEY ConnectionKey;
    LPVOID CallbackContext;
    PCWSTR VolumeGuidName;
    PCWSTR VolumeDosName;
    DWORD VolumeSerialNumber;
    LARGE_INTEGER SyncRootFileId;
    LPCVOID SyncRootIdentity;
    DWORD SyncRootIdentityLength;
    LARGE_INTEGER FileId;
    LARGE_INTEGER FileSize;
    LPCVOID FileIdentity;
    DWORD FileIdentityLength;
    PCWSTR NormalizedPath;
    CF_TRANSFER_KEY TransferKey;
    UCHAR PriorityHint;
    const void* CorrelationVector;
    CF_PROCESS_INFO* ProcessInfo;
    CF_REQUEST_KEY RequestKey;
} CF_CALLBACK_INFO;

typedef struct CF_CALLBACK_PARAMETERS {
    ULONG ParamSize;
    union {
        struct {
            CF_CALLBACK_CANCEL_FLAGS Flags;
            union {
                struct {
                    LARGE_INTEGER FileOffset;
                    LARGE_INTEGER Length;
                } FetchData;
            };
        } Cancel;
        struct {
            CF_CALLBACK_FETCH_DATA_FLAGS Flags;
            LARGE_INTEGER RequiredFileOffset;
            LARGE_INTEGER RequiredLength;
            LARGE_INTEGER OptionalFileOffset;
            LARGE_INTEGER OptionalLength;
            LARGE_INTEGER LastDehydrationTime;
            CF_CALLBACK_DEHYDRATION_REASON LastDehydrationReason;
        } FetchData;
        struct {
            CF_CALLBACK_CLOSE_COMPLETION_FLAGS Flags;
        } CloseCompletion;
        struct {
            CF_CALLBACK_DELETE_FLAGS Flags;
        } Delete;
        struct {
            CF_CALLBACK_RENAME_FLAGS Flags;
            PCWSTR TargetPath;
        } Rename;
    };
} CF_CALLBACK_PARAMETERS;

typedef void(CALLBACK* CF_CALLBACK)(const CF_CALLBACK_INFO* callbackInfo,
                                    const CF_CALLBACK_PARAMETERS* callbackParameters);

typedef struct CF_CALLBACK_REGISTRATION {
    CF_CALLBACK_TYPE Type;
    CF_CALLBACK Callback;
} CF_CALLBACK_REGISTRATION;

typedef struct CF_OPERATION_INFO {
    ULONG StructSize;
    CF_OPERATION_TYPE Type;
    CF_CONNECTION_KEY ConnectionKey;
    CF_TRANSFER_KEY TransferKey;
    const void* CorrelationVector;
    const void* SyncStatus;
    CF_REQUEST_KEY RequestKey;
} CF_OPERATION_INFO;

typedef struct CF_OPERATION_PARAMETERS {
    ULONG ParamSize;
    union {
        struct {
            CF_OPERATION_TRANSFER_DATA_FLAGS Flags;
            NTSTATUS CompletionStatus;
            LPCVOID Buffer;
            LARGE_INTEGER Offset;
            LARGE_INTEGER Length;
        } TransferData;
        struct {
            uint32_t Flags;
            LPVOID Buffer;
            LARGE_INTEGER Offset;
            LARGE_INTEGER Length;
            LARGE_INTEGER ReturnedLength;
        } RetrieveData;
        struct {
            CF_OPERATION_ACK_DELETE_FLAGS Flags;
            NTSTATUS CompletionStatus;
        } AckDelete;
        struct {
            CF_OPERATION_ACK_RENAME_FLAGS Flags;
            NTSTATUS CompletionStatus;
        } AckRename;
    };
} CF_OPERATION_PARAMETERS;

// What CF_PLACEHOLDER_INFO_BASIC returns: the fixed part, then FileIdentityLength bytes of identity from FileIdentity
// on (variable length: a buffer for the whole identity is offsetof(..., FileIdentity) + its length).
typedef struct CF_PLACEHOLDER_BASIC_INFO {
    CF_PIN_STATE PinState;
    CF_IN_SYNC_STATE InSyncState;
    LARGE_INTEGER FileId;
    LARGE_INTEGER SyncRootFileId;
    ULONG FileIdentityLength;
    BYTE FileIdentity[1];
} CF_PLACEHOLDER_BASIC_INFO;

// Layout pins (x64): the sizes and offsets the program and the emulated filter rely on.
static_assert(sizeof(FILE_BASIC_INFO) == 40, "FILE_BASIC_INFO");
static_assert(sizeof(CF_FS_METADATA) == 48, "CF_FS_METADATA");
static_assert(sizeof(CF_FILE_RANGE) == 16, "CF_FILE_RANGE");
static_assert(sizeof(CF_PLACEHOLDER_CREATE_INFO) == 88, "CF_PLACEHOLDER_CREATE_INFO");
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, FsMetadata) == 8, "FsMetadata");
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, FileIdentity) == 56, "FileIdentity");
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, FileIdentityLength) == 64, "FileIdentityLength");
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, Flags) == 68, "Flags");
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, Result) == 72, "Result");
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, CreateUsn) == 80, "CreateUsn");
static_assert(sizeof(CF_SYNC_REGISTRATION) == 72, "CF_SYNC_REGISTRATION");
static_assert(offsetof(CF_SYNC_REGISTRATION, ProviderName) == 8, "ProviderName");
static_assert(offsetof(CF_SYNC_REGISTRATION, ProviderVersion) == 16, "ProviderVersion");
static_assert(offsetof(CF_SYNC_REGISTRATION, SyncRootIdentity) == 24, "SyncRootIdentity");
static_assert(offsetof(CF_SYNC_REGISTRATION, SyncRootIdentityLength) == 32, "SyncRootIdentityLength");
static_assert(offsetof(CF_SYNC_REGISTRATION, FileIdentity) == 40, "FileIdentity");
static_assert(offsetof(CF_SYNC_REGISTRATION, FileIdentityLength) == 48, "FileIdentityLength");
static_assert(offsetof(CF_SYNC_REGISTRATION, ProviderId) == 52, "ProviderId");
static_assert(sizeof(CF_SYNC_POLICIES) == 24, "CF_SYNC_POLICIES");
static_assert(offsetof(CF_SYNC_POLICIES, Hydration) == 4, "Hydration");
static_assert(offsetof(CF_SYNC_POLICIES, Population) == 8, "Population");
static_assert(offsetof(CF_SYNC_POLICIES, InSync) == 12, "InSync");
static_assert(offsetof(CF_SYNC_POLICIES, HardLink) == 16, "HardLink");
static_assert(offsetof(CF_SYNC_POLICIES, PlaceholderManagement) == 20, "PlaceholderManagement");
static_assert(sizeof(CF_PROCESS_INFO) == 48, "CF_PROCESS_INFO");
static_assert(sizeof(CF_CALLBACK_INFO) == 152, "CF_CALLBACK_INFO");
static_assert(offsetof(CF_CALLBACK_INFO, ConnectionKey) == 8, "ConnectionKey");
static_assert(offsetof(CF_CALLBACK_INFO, VolumeDosName) == 32, "VolumeDosName");
static_assert(offsetof(CF_CALLBACK_INFO, FileSize) == 80, "FileSize");
static_assert(offsetof(CF_CALLBACK_INFO, FileIdentity) == 88, "FileIdentity");
static_assert(offsetof(CF_CALLBACK_INFO, FileIdentityLength) == 96, "FileIdentityLength");
static_assert(offsetof(CF_CALLBACK_INFO, NormalizedPath) == 104, "NormalizedPath");
static_assert(offsetof(CF_CALLBACK_INFO, TransferKey) == 112, "TransferKey");
static_assert(offsetof(CF_CALLBACK_INFO, PriorityHint) == 120, "PriorityHint");
static_assert(offsetof(CF_CALLBACK_INFO, ProcessInfo) == 136, "ProcessInfo");
static_assert(offsetof(CF_CALLBACK_INFO, RequestKey) == 144, "RequestKey");
static_assert(sizeof(CF_CALLBACK_PARAMETERS) == 64, "CF_CALLBACK_PARAMETERS");
static_assert(offsetof(CF_CALLBACK_PARAMETERS, FetchData.Flags) == 8, "FetchData.Flags");
static_assert(offsetof(CF_CALLBACK_PARAMETERS, FetchData.RequiredFileOffset) == 16, "RequiredFileOffset");
static_assert(offsetof(CF_CALLBACK_PARAMETERS, FetchData.RequiredLength) == 24, "RequiredLength");
static_assert(offsetof(CF_CALLBACK_PARAMETERS, FetchData.LastDehydrationReason) == 56, "LastDehydrationReason");
static_assert(offsetof(CF_CALLBACK_PARAMETERS, Cancel.FetchData.FileOffset) == 16, "Cancel.FileOffset");
static_assert(offsetof(CF_CALLBACK_PARAMETERS, CloseCompletion.Flags) == 8, "CloseCompletion.Flags");
static_assert(offsetof(CF_CALLBACK_PARAMETERS, Delete.Flags) == 8, "Delete.Flags");
static_assert(offsetof(CF_CALLBACK_PARAMETERS, Rename.Flags) == 8, "Rename.Flags");
static_assert(offsetof(CF_CALLBACK_PARAMETERS, Rename.TargetPath) == 16, "Rename.TargetPath");
static_assert(sizeof(CF_CALLBACK_REGISTRATION) == 16, "CF_CALLBACK_REGISTRATION");
static_assert(offsetof(CF_CALLBACK_REGISTRATION, Callback) == 8, "Callback");
static_assert(sizeof(CF_OPERATION_INFO) == 48, "CF_OPERATION_INFO");
static_assert(offsetof(CF_OPERATION_INFO, Type) == 4, "Type");
static_assert(offsetof(CF_OPERATION_INFO, ConnectionKey) == 8, "ConnectionKey");
static_assert(offsetof(CF_OPERATION_INFO, TransferKey) == 16, "TransferKey");
static_assert(offsetof(CF_OPERATION_INFO, RequestKey) == 40, "RequestKey");
static_assert(sizeof(CF_PLACEHOLDER_BASIC_INFO) == 32, "CF_PLACEHOLDER_BASIC_INFO");
static_assert(offsetof(CF_PLACEHOLDER_BASIC_INFO, PinState) == 0, "PinState");
static_assert(offsetof(CF_PLACEHOLDER_BASIC_INFO, InSyncState) == 4, "InSyncState");
static_assert(offsetof(CF_PLACEHOLDER_BASIC_INFO, FileId) == 8, "FileId");
static_assert(offsetof(CF_PLACEHOLDER_BASIC_INFO, SyncRootFileId) == 16, "SyncRootFileId");
static_assert(offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentityLength) == 24, "BasicInfo.FileIdentityLength");
static_assert(offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity) == 28, "BasicInfo.FileIdentity");
static_assert(sizeof(CF_OPERATION_PARAMETERS) == 48, "CF_OPERATION_PARAMETERS");
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferData.Flags) == 8, "TransferData.Flags");
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferData.CompletionStatus) == 12, "CompletionStatus");
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferData.Buffer) == 16, "TransferData.Buffer");
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferData.Offset) == 24, "TransferData.Offset");
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferData.Length) == 32, "TransferData.Length");
static_assert(offsetof(CF_OPERATION_PARAMETERS, AckDelete.CompletionStatus) == 12, "AckDelete.CompletionStatus");
static_assert(offsetof(CF_OPERATION_PARAMETERS, AckRename.CompletionStatus) == 12, "AckRename.CompletionStatus");

// ParamSize of an operation: the union's offset plus the size of the member the operation uses (never the whole
// structure's 48). 0 for an operation this program does not send. The offset is a named constant, pinned here at
// namespace scope, because the Visual C++ runtime's offsetof is no constant expression inside a constexpr function.
constexpr size_t kCfOperationParametersUnionOffset = 8;
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferData) == kCfOperationParametersUnionOffset &&
                  offsetof(CF_OPERATION_PARAMETERS, AckDelete) == kCfOperationParametersUnionOffset &&
                  offsetof(CF_OPERATION_PARAMETERS, AckRename) == kCfOperationParametersUnionOffset,
              "CF_OPERATION_PARAMETERS union offset");
constexpr ULONG CfOperationParamSize(CF_OPERATION_TYPE type) {
    return type == CF_OPERATION_TYPE_TRANSFER_DATA
               ? static_cast<ULONG>(kCfOperationParametersUnionOffset + sizeof(CF_OPERATION_PARAMETERS::TransferData))
           : type == CF_OPERATION_TYPE_ACK_DELETE
               ? static_cast<ULONG>(kCfOperationParametersUnionOffset + sizeof(CF_OPERATION_PARAMETERS::AckDelete))
           : type == CF_OPERATION_TYPE_ACK_RENAME
               ? static_cast<ULONG>(kCfOperationParametersUnionOffset + sizeof(CF_OPERATION_PARAMETERS::AckRename))
               : 0;
}
static_assert(CfOperationParamSize(CF_OPERATION_TYPE_TRANSFER_DATA) == 40, "TransferData ParamSize");
static_assert(CfOperationParamSize(CF_OPERATION_TYPE_ACK_DELETE) == 16, "AckDelete ParamSize");
static_assert(CfOperationParamSize(CF_OPERATION_TYPE_ACK_RENAME) == 16, "AckRename ParamSize");

// ---- The thirteen operations (Windows signatures) ----
HRESULT CfRegisterSyncRoot(LPCWSTR syncRootPath, const CF_SYNC_REGISTRATION* registration,
                           const CF_SYNC_POLICIES* policies, CF_REGISTER_FLAGS registerFlags);
HRESULT CfUnregisterSyncRoot(LPCWSTR syncRootPath);
HRESULT CfConnectSyncRoot(LPCWSTR syncRootPath, const CF_CALLBACK_REGISTRATION* callbackTable,
                          LPCVOID callbackContext, CF_CONNECT_FLAGS connectFlags, CF_CONNECTION_KEY* connectionKey);
HRESULT CfDisconnectSyncRoot(CF_CONNECTION_KEY connectionKey);
HRESULT CfCreatePlaceholders(LPCWSTR baseDirectoryPath, CF_PLACEHOLDER_CREATE_INFO* placeholderArray,
                             DWORD placeholderCount, CF_CREATE_FLAGS createFlags, PDWORD entriesProcessed);
HRESULT CfExecute(const CF_OPERATION_INFO* opInfo, CF_OPERATION_PARAMETERS* opParams);
HRESULT CfHydratePlaceholder(HANDLE fileHandle, LARGE_INTEGER startingOffset, LARGE_INTEGER length,
                             CF_HYDRATE_FLAGS hydrateFlags, LPOVERLAPPED overlapped);
HRESULT CfDehydratePlaceholder(HANDLE fileHandle, LARGE_INTEGER startingOffset, LARGE_INTEGER length,
                               CF_DEHYDRATE_FLAGS dehydrateFlags, LPOVERLAPPED overlapped);
// The handle needs FILE_READ_ATTRIBUTES (GENERIC_READ holds it). A buffer too small for the identity gives
// kHrMoreData with the fixed part filled: pass offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity) +
// CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH bytes to get it whole.
HRESULT CfGetPlaceholderInfo(HANDLE fileHandle, CF_PLACEHOLDER_INFO_CLASS infoClass, void* infoBuffer,
                             DWORD infoBufferLength, PDWORD returnedLength);
// The handle needs FILE_WRITE_DATA or WRITE_DAC; pass a null USN (a USN makes it fail with kHrCloudNotInSync).
HRESULT CfSetInSyncState(HANDLE fileHandle, CF_IN_SYNC_STATE inSyncState, CF_SET_IN_SYNC_FLAGS inSyncFlags,
                         USN* inSyncUsn);
// Turns a file or directory below a registered root that is no placeholder into one, with its data as it stands.
// The handle needs FILE_WRITE_DATA or WRITE_DAC; pass null for the USN and the OVERLAPPED.
HRESULT CfConvertToPlaceholder(HANDLE fileHandle, LPCVOID fileIdentity, DWORD fileIdentityLength,
                               CF_CONVERT_FLAGS convertFlags, USN* convertUsn, LPOVERLAPPED overlapped);
// Changes a placeholder the provider keeps: here, its identity (a null identity keeps the one it has) and its in-sync
// state. The handle needs FILE_WRITE_DATA or WRITE_DAC; pass null metadata, no ranges, a null USN and OVERLAPPED.
HRESULT CfUpdatePlaceholder(HANDLE fileHandle, const CF_FS_METADATA* fsMetadata, LPCVOID fileIdentity,
                            DWORD fileIdentityLength, const CF_FILE_RANGE* dehydrateRangeArray, DWORD dehydrateRangeCount,
                            CF_UPDATE_FLAGS updateFlags, USN* updateUsn, LPOVERLAPPED overlapped);
// Sets the pin state of a placeholder (RECURSE: and of everything below a directory; RECURSE_ONLY: of what is below
// alone). Any process may call it; the handle needs FILE_READ_DATA or WRITE_DAC. Pass a null OVERLAPPED. Seen by
// everyone as FILE_ATTRIBUTE_PINNED / FILE_ATTRIBUTE_UNPINNED and by a watcher under FILE_NOTIFY_CHANGE_ATTRIBUTES:
// no callback announces it.
HRESULT CfSetPinState(HANDLE fileHandle, CF_PIN_STATE pinState, CF_SET_PIN_FLAGS pinFlags, LPOVERLAPPED overlapped);

// ---- Backend table: the platform's implementation (cldapi.dll on Windows, the emulated filter elsewhere) or a
// test's recording fake. Exactly one is active; the operations above forward to it. ----
struct CloudFilesBackend {
    HRESULT (*RegisterSyncRoot)(LPCWSTR, const CF_SYNC_REGISTRATION*, const CF_SYNC_POLICIES*, CF_REGISTER_FLAGS);
    HRESULT (*UnregisterSyncRoot)(LPCWSTR);
    HRESULT (*ConnectSyncRoot)(LPCWSTR, const CF_CALLBACK_REGISTRATION*, LPCVOID, CF_CONNECT_FLAGS,
                               CF_CONNECTION_KEY*);
    HRESULT (*DisconnectSyncRoot)(CF_CONNECTION_KEY);
    HRESULT (*CreatePlaceholders)(LPCWSTR, CF_PLACEHOLDER_CREATE_INFO*, DWORD, CF_CREATE_FLAGS, PDWORD);
    HRESULT (*Execute)(const CF_OPERATION_INFO*, CF_OPERATION_PARAMETERS*);
    HRESULT (*HydratePlaceholder)(HANDLE, LARGE_INTEGER, LARGE_INTEGER, CF_HYDRATE_FLAGS, LPOVERLAPPED);
    HRESULT (*DehydratePlaceholder)(HANDLE, LARGE_INTEGER, LARGE_INTEGER, CF_DEHYDRATE_FLAGS, LPOVERLAPPED);
    HRESULT (*GetPlaceholderInfo)(HANDLE, CF_PLACEHOLDER_INFO_CLASS, void*, DWORD, PDWORD);
    HRESULT (*SetInSyncState)(HANDLE, CF_IN_SYNC_STATE, CF_SET_IN_SYNC_FLAGS, USN*);
    HRESULT (*ConvertToPlaceholder)(HANDLE, LPCVOID, DWORD, CF_CONVERT_FLAGS, USN*, LPOVERLAPPED);
    HRESULT (*UpdatePlaceholder)(HANDLE, const CF_FS_METADATA*, LPCVOID, DWORD, const CF_FILE_RANGE*, DWORD,
                                 CF_UPDATE_FLAGS, USN*, LPOVERLAPPED);
    HRESULT (*SetPinState)(HANDLE, CF_PIN_STATE, CF_SET_PIN_FLAGS, LPOVERLAPPED);
};

// The platform's own backend (defined in platform/windows or platform/posix).
const CloudFilesBackend& PlatformCloudFilesBackend();
// Replaces the active backend; null restores the platform's. Returns the previous one. Tests only.
const CloudFilesBackend* SetCloudFilesBackend(const CloudFilesBackend* backend);
