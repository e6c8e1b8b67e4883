// The diagnostic log's file, opened so that nobody else's file is ever
// written: a link, a device, a pipe or a file of another user found at the
// log's name is left alone and the line is dropped. A privileged host (the
// provider often runs as the system account) appends to a name that other
// local users can predict, in a directory they can write.
#pragma once

#include <cstddef>

namespace vela::platform {

// Appends `length` bytes to the regular file at `path`, creating it for the
// process's user alone when missing (Linux: mode 0600; Windows: a descriptor
// of its own granting the process's user, SYSTEM and Administrators, nothing
// inherited). False, with nothing written, when the file cannot be opened or
// what is at the path is not a regular file with one link owned by the
// process's user (on Windows also: by the owner the process's own files get,
// Administrators for a service).
// The folders above the file are opened from the root one at a time and a
// symbolic link, junction or other reparse point at any level is refused.
bool AppendToLogFile(const char* path, const char* data, std::size_t length);

// Makes the log folder `path` (its last level) when missing, for the
// process's user alone as its files are (Linux: mode 0700; Windows: the log
// file's descriptor), reaching it as AppendToLogFile does. True when the
// folder is there, reached without a link.
bool MakeLogDirectory(const char* path);

// Whether `path` names a directory from the root of a file system (a drive
// or a share on Windows): a relative one would land in the host process's
// working directory.
bool IsAbsolutePath(const char* path);

}  // namespace vela::platform
