// The fallback confinement where bubblewrap cannot run: a Landlock rule set that leaves the
// worker read access to the system files it loads and no write access anywhere.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Applies the rules to this process (and what it may start). False when the kernel has no
// Landlock; the worker then runs under its resource limits alone.
bool RestrictFileSystemWithLandlock();

// The same rule set, plus `extraRules` (a path and the access allowed beneath it, or to it when
// it is a file), not yet applied: a descriptor to hand to landlock_restrict_self, or -1 when the
// kernel has no Landlock. The caller closes it.
int MakeLandlockRuleset(const std::vector<std::pair<std::string, uint64_t>>& extraRules);
// Every access the kernel's Landlock handles; 0 without Landlock.
uint64_t LandlockEverything();
