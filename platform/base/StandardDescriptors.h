#pragma once

namespace quillet {

// Fills any closed standard descriptor (0, 1, 2) with /dev/null opened read-only, before
// the program opens anything else. open() hands out the lowest free number, so with
// standard output closed the first file opened afterwards (a database, a lock file, the
// settings store) would become fd 1 and receive whatever the program prints. Read-only
// /dev/null keeps the number taken, and a write to it still fails, so lost output is
// still noticed rather than silently discarded.
void ReserveStandardDescriptors();

}  // namespace quillet
