// unit_fixture.h - a temporary LOCALAPPDATA with the recording fake as the platform, and callback requests.
#pragma once

#include "layout/provider_paths.h"
#include "placeholders/create_info.h"
#include "placeholders/identity.h"
#include "tests/support/fake_cloud_files.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

// One scene per test or per table row, so nothing one case leaves behind reaches the next.
struct Scene {
    TempLocalAppData env;
    FakeCloudFiles fake;

    std::string Staging() const { return env.ProviderBase() + "/Staging"; }
    std::string Cache() const { return env.ProductDir() + "/Cache"; }
    std::string Inbox() const { return env.ProductDir() + "/Queue/cloud-files-inbox"; }
    std::string Store() const { return env.ProductDir() + "/Queue/CloudFiles"; }
    std::string QueueStaging() const { return env.ProviderBase() + "/Queue/Staging"; }
    std::string Journal() const { return env.ProviderBase() + "/Queue/pending-spike.jsonl"; }
    std::string Manifest() const { return env.ProviderBase() + "/seed-manifest.tsv"; }
    std::vector<std::string> Log() const { return LogMessages(env.LogFile()); }
    // The bytes of the inbox records whose names start with `prefix`, in name order.
    std::vector<std::string> Records(const std::string& prefix = "") const {
        std::vector<std::string> records;
        for (const std::string& name : ListDirectory(Inbox())) {
            if (name.compare(0, prefix.size(), prefix) == 0) records.push_back(ReadFileBytes(Inbox() + "/" + name));
        }
        return records;
    }
};

class UnitTest : public testing::Test, protected Scene {};

// Writes a file, creating its parent directories; returns its path.
inline std::string Put(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    WriteFileBytes(path, bytes);
    return path;
}

// A callback request as the platform hands it over: fixed keys, the identity blob (none for nullopt), drive "Z:"
// and the normalised path of a POSIX path, and parameters the test fills in.
struct Request {
    std::vector<BYTE> blob;
    std::wstring volume = L"Z:", normalized, target;
    CF_CALLBACK_INFO info{};
    CF_CALLBACK_PARAMETERS params{};

    explicit Request(std::optional<std::wstring> identity, const std::string& posixPath = "/") {
        if (identity) blob = EncodeIdentityBlob(*identity);
        normalized = WindowsPathOf(posixPath).substr(2);
        info.StructSize = sizeof(info);
        info.ConnectionKey.Internal = 0x7711;
        info.TransferKey.QuadPart = 0x5522;
        info.RequestKey.QuadPart = 0x3344;
        info.FileIdentity = blob.empty() ? nullptr : blob.data();
        info.FileIdentityLength = static_cast<DWORD>(blob.size());
        info.VolumeDosName = volume.c_str();
        info.NormalizedPath = normalized.c_str();
        params.ParamSize = sizeof(params);
    }
    // The platform gives a rename's target relative to the volume root.
    void RenameTo(const std::string& posixPath) {
        target = WindowsPathOf(posixPath).substr(2);
        params.Rename.TargetPath = target.c_str();
    }
};

// Every reply a callback sends must echo the request's keys, in a 48-byte operation info.
inline void ExpectEchoedKeys(const RecordedCall& call, CF_OPERATION_TYPE type) {
    EXPECT_EQ(call.opInfo.StructSize, 48u);
    EXPECT_EQ(call.opInfo.Type, type);
    EXPECT_EQ(call.opInfo.ConnectionKey.Internal, 0x7711);
    EXPECT_EQ(call.opInfo.TransferKey.QuadPart, 0x5522);
    EXPECT_EQ(call.opInfo.RequestKey.QuadPart, 0x3344);
}

// Registers `root` with the emulated platform itself (not the fake; again, as an update) and creates one
// dehydrated placeholder in it: a file that opens and has a size, but fails every read while no provider is connected.
inline void CreatePlatformPlaceholder(const std::wstring& root, const std::wstring& name, DWORD size,
                                      const std::wstring& identity) {
    const CloudFilesBackend& platform = PlatformCloudFilesBackend();
    const std::vector<BYTE> blob = EncodeIdentityBlob(identity), rootBlob = EncodeIdentityBlob(L"root");
    CF_SYNC_REGISTRATION registration{};
    registration.StructSize = sizeof(registration);
    registration.ProviderName = L"test";
    registration.ProviderVersion = L"1";
    registration.SyncRootIdentity = rootBlob.data();
    registration.SyncRootIdentityLength = static_cast<DWORD>(rootBlob.size());
    CF_SYNC_POLICIES policies{};
    policies.StructSize = sizeof(policies);
    policies.Hydration.Primary = CF_HYDRATION_POLICY_FULL;
    if (FAILED(platform.RegisterSyncRoot(root.c_str(), &registration, &policies, CF_REGISTER_FLAG_NONE))) {
        ASSERT_EQ(platform.RegisterSyncRoot(root.c_str(), &registration, &policies, CF_REGISTER_FLAG_UPDATE), S_OK);
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    data.nFileSizeLow = static_cast<DWORD>(size);
    CF_PLACEHOLDER_CREATE_INFO entry = CreateInfoFromFile(name.c_str(), data, blob);
    DWORD processed = 0;
    ASSERT_EQ(platform.CreatePlaceholders(root.c_str(), &entry, 1, CF_CREATE_FLAG_NONE, &processed), S_OK);
}
