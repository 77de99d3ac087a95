#ifndef INSTANCE_GUARD_H_
#define INSTANCE_GUARD_H_

#include <string>

// Keeps a second updater off an installation directory. The pid file "pid" in
// the working directory names the updater that last started work there.

// True when |pid_text| is a process id (decimal digits, nothing else),
// "/proc/<pid_text>/cmdline" can be read and its first line contains |word|.
bool ProcessCommandLineContains(const std::string& pid_text,
                                const std::string& word);

// True when another updater works on this directory: another process holds
// the lock on the pid file, or the pid file names another live process whose
// command line contains the updater word. When it returns false this process
// holds the lock on "pid" until it exits, so a second updater started later
// is refused even before the pid file is written.
bool IsAnotherInstanceRunning();

// Makes the descriptor that holds the lock on "pid" inherited by the programs
// this process starts from now on (|inherited|), or close-on-exec again. The
// lock belongs to the open file, so a child that inherits it holds it as
// long as it runs, even when this process has been killed. Does nothing
// when this process holds no lock.
void SetInstanceLockInherited(bool inherited);

// Writes this process's id into "pid" (decimal, no line end). Logs and
// returns false when the file cannot be opened for writing.
bool WritePidFile();

#endif  // INSTANCE_GUARD_H_
