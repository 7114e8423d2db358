#pragma once

#include <QString>

struct CommandLine;

// The commands of tessaro-cli; each returns the process's exit status.
namespace commands {

constexpr int Success = 0;
constexpr int Failure = 1; // a card failed or differs, or the catalog or a disk could not be used
constexpr int UsageError = 2;
// A command interrupted by a signal ends with console::statusFor() of it.

int disks(const CommandLine &line);
int catalog(const CommandLine &line);
int write(const CommandLine &line);
int verify(const CommandLine &line);
int cacheList(const CommandLine &line);
int cacheClean(const CommandLine &line);

// Tells the user why nothing was done: on standard error and, with --json,
// as an "error" record. Returns status.
int refuse(const CommandLine &line, int status, const QString &message);

} // namespace commands
