// The check that the POSIX code builds on macOS and the BSDs, which cannot
// be run here: the platform layer, the test support, the fuzz target and
// the benchmark are compiled against glibc with Linux's extensions hidden
// (no _GNU_SOURCE, only POSIX.1-2008 with XSI), and this file, put before
// each of them, lets back in the few calls beyond that which every one of
// those systems also has. A call missing from this list breaks the check.
// Code meant for Linux alone stays behind #ifdef __linux__ or a
// CORVALIN_HAVE_ macro that configure sets.
#ifndef CORVALIN_TESTS_POSIX_EXTRAS_H
#define CORVALIN_TESTS_POSIX_EXTRAS_H

#include <sys/types.h>

struct rusage;

extern "C" {
int mkostemp(char* path, int flags);                                // the temporary TIFF
int setgroups(size_t count, const gid_t* groups);                   // tests run as nobody
pid_t wait4(pid_t pid, int* status, int options, struct rusage* usage);  // benchmark: a run's peak memory
}
#define MAP_ANONYMOUS 0x20  // memory not backed by a file (Linux's value; never run)
// flock (<sys/file.h>, the temporary file's lock) needs no line here: glibc
// declares it whatever the standard asked for, as macOS and the BSDs do.

#endif
