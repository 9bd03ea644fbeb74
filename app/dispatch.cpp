// dispatch.cpp - the process's work: one verb per run, the usage text, the paths report and the exit code.
// Every verb's handler lives in its own subsystem; this file only routes and turns statuses into exit codes.
#include "app/dispatch.h"

#include "app/event_log.h"
#include "hydration/explicit_hydration.h"
#include "layout/provider_paths.h"
#include "layout/sync_root_identity.h"
#include "placeholders/bench.h"
#include "placeholders/demo_placeholder.h"
#include "placeholders/seeding.h"
#include "selftest/selftest.h"
#include "syncroot/cloud_files.h"
#include "syncroot/connection.h"
#include "syncroot/registration.h"
#include "writeback/queue_records.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

const char kUsage[] =
    "voske-cf-spike <command>\n"
    "  paths       Print sync root / staging paths\n"
    "  register    CfRegisterSyncRoot + seed staging\n"
    "  placeholder Create dehydrated placeholder from staging meta\n"
    "  seed        Placeholders for up to 32 files already in the product Cache\n"
    "  connect     CfConnectSyncRoot (blocks until Ctrl+C) - required for open-hydrate\n"
    "  hydrate     Explicit CfHydratePlaceholder (provider should be connected)\n"
    "  dehydrate   CfDehydratePlaceholder (keep identity)\n"
    "  unregister  CfUnregisterSyncRoot\n"
    "  selftest    register + placeholder + connect + hydrate + dehydrate (one process)\n"
    "  bench       10k placeholders, time a metadata enumerate, then unregister\n"
    "  demo        register + placeholder + connect (hydrate/dehydrate in another shell)\n";

int ExitCodeFor(HRESULT status) { return FAILED(status) ? 1 : 0; }

int RunDemoVerb() {
    HRESULT status = RegisterProviderSyncRoot();
    if (SUCCEEDED(status)) status = CreateDemoPlaceholder();
    PrintProviderPaths();
    if (FAILED(status)) return 1;
    LogEvent("DEMO", "Placeholder ready. Keeping provider connected for Explorer open...");
    return RunConnectVerb();
}

}  // namespace

void PrintUsage() {
    fputs(kUsage, stdout);
    fflush(stdout);
}

void PrintProviderPaths() {
    InitProviderPaths();
    const std::wstring identity = BuildSyncRootId();
    // UTF-8 bytes, as in the log: wide output through the C runtime's "C" locale would stop at the first
    // character outside ASCII.
    printf("SyncRoot : %s\n", ToUtf8(ProviderPaths.syncRoot).c_str());
    printf("Staging  : %s\n", ToUtf8(ProviderPaths.staging).c_str());
    printf("Log      : %s\n", ToUtf8(ProviderPaths.logFile).c_str());
    printf("Identity : %s\n", ToUtf8(identity).c_str());
    fflush(stdout);
}

int DispatchCommand(int argc, wchar_t** argv) {
    if (argc < 2) {
        PrintUsage();
        return 1;
    }
    InitProviderPaths();
    const std::wstring verb = argv[1];
    HRESULT status = S_OK;

    if (verb == L"paths") {
        PrintProviderPaths();
    } else if (verb == L"register") {
        status = RegisterProviderSyncRoot();
        PrintProviderPaths();
    } else if (verb == L"placeholder") {
        status = CreateDemoPlaceholder();
    } else if (verb == L"seed") {
        status = SeedFromManifest();
        if (status == kHrFileNotFound) status = SeedFromProductCache();
    } else if (verb == L"connect") {
        return RunConnectVerb();
    } else if (verb == L"hydrate") {
        status = ExplicitHydrate(L"hello-from-engine.txt");
    } else if (verb == L"dehydrate") {
        status = ExplicitDehydrate();
    } else if (verb == L"unregister") {
        DisconnectProvider();
        status = UnregisterProviderSyncRoot();
    } else if (verb == L"writeback-client") {
        return ExitCodeFor(RunWritebackClient());
    } else if (verb == L"bench") {
        status = RunPlaceholderBench();
    } else if (verb == L"selftest") {
        status = RunSelfTest();
        PrintProviderPaths();
    } else if (verb == L"demo") {
        return RunDemoVerb();
    } else {
        PrintUsage();
        return 1;
    }
    return ExitCodeFor(status);
}
