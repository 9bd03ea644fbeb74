// connect_walk.h - writing back what changed in the sync root while no provider was connected.
#pragma once

// Walks the sync root once and writes back every placeholder that is out of sync, marking each in sync again.
// Logs how many it found, and returns that number.
int WriteBackOutOfSyncPlaceholders();
