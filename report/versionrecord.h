#pragma once

#include <cstdint>

// Executables on this platform have no version resource, so the build puts one record in
// a section of its own, which VersionString finds in the file. Fields are in the byte
// order of the executable.
struct NewsbenchVersionRecord
{
    char magic[8];
    std::uint16_t major;
    std::uint16_t minor;
    std::uint16_t release;
    std::uint16_t build;
    std::uint32_t flags; // 1: beta, 2: alpha
};
static_assert(sizeof(NewsbenchVersionRecord) == 20);

inline constexpr char NewsbenchVersionSection[] = ".newsbench_version";
inline constexpr char NewsbenchVersionMagic[8] = {'N', 'B', 'V', 'E', 'R', 'S', 'N', '1'};

// Use once per executable, at namespace scope, in a source file linked directly into it
// (not through a static library, whose unreferenced members the linker leaves out).
// clang-format off
#define NEWSBENCH_VERSION_RECORD(majorNumber, minorNumber, releaseNumber, buildNumber, flagWord) \
    [[gnu::used, gnu::retain, gnu::section(".newsbench_version")]] constinit const               \
        NewsbenchVersionRecord newsbenchVersionRecord = {                                      \
            {'N', 'B', 'V', 'E', 'R', 'S', 'N', '1'}, majorNumber, minorNumber, releaseNumber,  \
            buildNumber, flagWord}
// clang-format on
