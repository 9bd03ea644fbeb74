// registration.cpp - registering the provider's sync root, disconnecting this process, and unregistering.
// Registration and unregistration outlive the process; the connection state lives here for the whole run.
#include "syncroot/registration.h"

#include "app/event_log.h"
#include "hydration/pin_keeper.h"
#include "layout/provider_paths.h"
#include "layout/sync_root_identity.h"
#include "placeholders/identity.h"
#include "syncroot/status_words.h"
#include "writeback/queue_records.h"
#include "writeback/root_watcher.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

CF_CONNECTION_KEY ProviderConnectionKey = {0};
std::atomic<bool> ProviderConnected{false};

namespace {

const int kUnregisterAttempts = 5;
const DWORD kUnregisterPauseMs = 400;

// {564F534B-4543-4669-6C65-7370696B6531}
const GUID kProviderId = {0x564F534B, 0x4543, 0x4669, {0x6C, 0x65, 0x73, 0x70, 0x69, 0x6B, 0x65, 0x31}};

// Windows refuses a second plain registration of a root that is registered already (a root left registered by an
// earlier run, or registered by another verb); the registration is then renewed with CF_REGISTER_FLAG_UPDATE.
// E_INVALIDARG is a refusal of the record itself and goes back to the caller unchanged.
HRESULT RegisterOrUpdate(const CF_SYNC_REGISTRATION& registration, const CF_SYNC_POLICIES& policies) {
    HRESULT hr = CfRegisterSyncRoot(ProviderPaths.syncRoot.c_str(), &registration, &policies, CF_REGISTER_FLAG_NONE);
    if (SUCCEEDED(hr) || hr == E_INVALIDARG) return hr;
    char message[128];
    snprintf(message, sizeof(message), "Registration refused hr=0x%08lX - updating the registered sync root",
             HrArg(hr));
    LogEvent("REGISTER", message);
    return CfRegisterSyncRoot(ProviderPaths.syncRoot.c_str(), &registration, &policies, CF_REGISTER_FLAG_UPDATE);
}

}  // namespace

HRESULT RegisterProviderSyncRoot() {
    InitProviderPaths();
    WriteStagingSeed();

    // The record points into these two; both live until the platform call has returned.
    const std::wstring identity = BuildSyncRootId();
    const std::vector<BYTE> identityBlob = EncodeIdentityBlob(identity);

    CF_SYNC_REGISTRATION registration = {};
    registration.StructSize = sizeof(CF_SYNC_REGISTRATION);
    registration.ProviderName = L"VOSKE";
    registration.ProviderVersion = L"0.1.0-spike";
    registration.SyncRootIdentity = identityBlob.data();
    registration.SyncRootIdentityLength = static_cast<DWORD>(identityBlob.size());
    registration.FileIdentity = nullptr;
    registration.FileIdentityLength = 0;
    registration.ProviderId = kProviderId;

    CF_SYNC_POLICIES policies = {};
    policies.StructSize = sizeof(CF_SYNC_POLICIES);
    policies.Hydration.Primary = CF_HYDRATION_POLICY_FULL;
    policies.Hydration.Modifier = CF_HYDRATION_POLICY_MODIFIER_NONE;
    policies.Population.Primary = CF_POPULATION_POLICY_ALWAYS_FULL;
    policies.Population.Modifier = CF_POPULATION_POLICY_MODIFIER_NONE;
    policies.InSync = CF_INSYNC_POLICY_TRACK_FILE_LAST_WRITE_TIME;
    policies.HardLink = CF_HARDLINK_POLICY_NONE;
    // The dehydrate verb runs in a second console while connect or demo serves the root, and only an
    // unrestricted policy lets a process other than the connected provider create or dehydrate placeholders.
    policies.PlaceholderManagement =
        CF_PLACEHOLDER_MANAGEMENT_POLICY_CREATE_UNRESTRICTED | CF_PLACEHOLDER_MANAGEMENT_POLICY_UPDATE_UNRESTRICTED;

    HRESULT hr = RegisterOrUpdate(registration, policies);
    if (hr == E_INVALIDARG) {
        // A platform older than the placeholder-management policy knows the record without that field.
        policies.StructSize = static_cast<ULONG>(offsetof(CF_SYNC_POLICIES, PlaceholderManagement));
        policies.PlaceholderManagement = CF_PLACEHOLDER_MANAGEMENT_POLICY_DEFAULT;
        LogEvent("REGISTER", "Unrestricted placeholder management refused - registering with the default policy");
        hr = RegisterOrUpdate(registration, policies);
    }
    if (FAILED(hr)) {
        char message[256];
        snprintf(message, sizeof(message), "CfRegisterSyncRoot failed hr=0x%08lX path=%s - %s", HrArg(hr),
                 ToUtf8(ProviderPaths.syncRoot).c_str(), StatusInWords(hr));
        LogEvent("ERROR", message);
        return hr;
    }

    char message[512];
    // UTF-8 text, not "%ls": the C runtime starts in the "C" locale, where a wide character outside ASCII fails the
    // whole conversion and the line would be cut.
    snprintf(message, sizeof(message), "Registered sync root: %s id=%s", ToUtf8(ProviderPaths.syncRoot).c_str(),
             ToUtf8(identity).c_str());
    LogEvent("REGISTER", message);
    return S_OK;
}

HRESULT DisconnectProvider() {
    // Test and clear in one step: a console interrupt arriving while the main thread disconnects must not
    // hand the same key to the platform a second time.
    if (!ProviderConnected.exchange(false)) return S_OK;
    // The watcher converts files into placeholders, which only the connected provider may do: it ends first.
    StopRootWatcher();

    HRESULT hr = CfDisconnectSyncRoot(ProviderConnectionKey);
    char message[128];
    snprintf(message, sizeof(message), "CfDisconnectSyncRoot hr=0x%08lX", HrArg(hr));
    LogEvent("CONNECT", message);
    // After the disconnection, which ends the fetches its hydrations wait for.
    StopPinKeeper();
    return hr;
}

HRESULT UnregisterProviderSyncRoot() {
    InitProviderPaths();
    DisconnectProvider();

    for (int attempt = 1; attempt <= kUnregisterAttempts; ++attempt) {
        HRESULT hr = CfUnregisterSyncRoot(ProviderPaths.syncRoot.c_str());
        if (SUCCEEDED(hr)) {
            LogEvent("UNREGISTER", "Sync root unregistered");
            return S_OK;
        }
        if (hr == kHrCloudNotUnderSyncRoot || hr == kHrInvalidFunction) {
            LogEvent("UNREGISTER", "Sync root already absent");
            return S_OK;
        }

        char message[256];
        snprintf(message, sizeof(message), "CfUnregisterSyncRoot attempt %d/%d hr=0x%08lX - %s", attempt,
                 kUnregisterAttempts, HrArg(hr), StatusInWords(hr));
        LogEvent("ERROR", message);
        // Only a provider still connected can clear up by itself (one finishing its disconnect, in this process or
        // another): Windows then answers "invalid request", older builds "in use". Anything else is final.
        if ((hr != kHrCloudInUse && hr != kHrCloudInvalidRequest) || attempt == kUnregisterAttempts) return hr;
        Sleep(kUnregisterPauseMs);
    }
    return S_OK;
}
