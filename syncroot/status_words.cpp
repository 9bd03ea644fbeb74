// status_words.cpp - the statuses the platform and the file system give the provider's verbs, in words: every
// refusal a user meets says what it is beside its HRESULT.
#include "syncroot/status_words.h"

namespace {

struct Words {
    unsigned long status;
    const char* words;
};

const Words kWords[] = {
    {0x80070002ul, "the file is not there"},
    {0x80070003ul, "the directory is not there"},
    {0x80070005ul, "access is denied (another user's root, or a file held read-only)"},
    {0x80070020ul, "another program holds the file"},
    {0x80070070ul, "the disk is full"},
    {0x80070057ul, "the platform refused the arguments"},
    {0x8007007Eul, "cldapi.dll is missing (the Cloud Files platform comes with Windows 10 1709 and later)"},
    {0x8007007Ful, "cldapi.dll lacks a function the program calls (an older Windows)"},
    {0x8007016Aul, "no provider is connected to the sync root (run connect first)"},
    {0x80070178ul, "the file is not a placeholder"},
    {0x80070179ul, "the placeholder holds a change not yet written back"},
    {0x8007017Aul, "a provider is already connected to this sync root"},
    {0x8007017Bul, "the sync root does not allow this"},
    {0x8007017Cul, "the platform refused the request"},
    {0x8007017Eul, "only the connected provider may do this"},
    {0x80070185ul, "the provider refused the operation"},
    {0x80070186ul, "the directory is not a registered sync root (run register first)"},
    {0x80070187ul, "the sync root is in use by a connected provider (stop it first)"},
    {0x80070188ul, "the placeholder is pinned"},
    {0x8007018Bul, "the handle lacks the access the platform asks for"},
    {0x80070194ul, "the provider stopped"},
    {0x80070195ul, "the directory is not a sync root"},
    {0x800701AAul, "the provider did not answer in time"},
};

}  // namespace

const char* StatusInWords(HRESULT hr) {
    for (const Words& entry : kWords) {
        if (entry.status == static_cast<unsigned long>(static_cast<ULONG>(hr))) return entry.words;
    }
    return "see the status code";
}
