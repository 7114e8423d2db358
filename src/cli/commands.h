#pragma once

struct CommandLine;

// The commands of tessaro-cli; each returns the process's exit status.
namespace commands {

constexpr int Success = 0;
constexpr int Failure = 1; // a card failed, or the catalog or a disk could not be used
constexpr int UsageError = 2;
constexpr int Cancelled = 130; // as a shell reports a process ended by Ctrl-C

int disks(const CommandLine &line);
int catalog(const CommandLine &line);
int write(const CommandLine &line);

} // namespace commands
