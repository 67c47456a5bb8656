// The fallback confinement where bubblewrap cannot run: a Landlock rule set that leaves the
// worker read access to the system files it loads and no write access anywhere.
#pragma once

// Applies the rules to this process (and what it may start). False when the kernel has no
// Landlock; the worker then runs under its resource limits alone.
bool RestrictFileSystemWithLandlock();
