// What every program of the project does first, so that neither a closed
// standard stream, nor a resource limit, nor a signal can corrupt or half
// write a file it makes.
#pragma once

namespace sealtool {

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed: a file
// the program creates can then never be given one of them, so no console
// byte can end up inside it. Ignores SIGPIPE and SIGXFSZ, so that a vanished
// reader or a file-size limit shows as a failed write that the program
// reports, not as a sudden death. Termination signals (HUP, INT, QUIT, TERM,
// ALRM, USR1, USR2) that the caller did not ignore first remove the files
// registered with RegisterPendingFile and then end the process as the
// signal would have. Returns false when a closed descriptor could not be
// reopened; the program must then stop.
bool GuardProcess();

// The running program's name, without its folder, for messages.
const char* ProgramName();

// A temporary file that a termination signal must remove, named relative to
// an open directory. At most kMaxPendingFiles at a time; returns a slot for
// ForgetPendingFile, or -1 when all slots are taken or name is too long.
inline constexpr int kMaxPendingFiles = 4100;  // a batch stages up to 4096 images at once
int RegisterPendingFile(int dirFd, const char* name);
void ForgetPendingFile(int slot);

// Holds back the termination signals while a group of files is moved into
// place, so that a signal sees them all before or all after. Pairs with
// ReleaseTerminationSignals, which delivers what arrived in between.
void HoldTerminationSignals();
void ReleaseTerminationSignals();

// A program this process runs (its process group, or on Windows its job)
// that a termination signal must end too. One at a time.
void WatchChildGroup(int group);
void ForgetChildGroup();

}  // namespace sealtool
