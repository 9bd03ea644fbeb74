// connect_walk.h - what changed in the sync root while no provider was connected, taken when one connects.
#pragma once

// Compares the root with the item database: an item no longer in the root gets its delete record, one found at
// another place its rename record, once, and a placeholder out of sync is written back as if it had just been
// closed. Leftover temporary copies of a provider that was killed are removed first. Logs what it found, and
// returns the number of placeholders written back.
int WriteBackOutOfSyncPlaceholders();
