// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One program at a time on a frame: how the backends take a unit.
//
// Whoever opens a unit holds it exclusively until it releases it: the virtual
// frame's image file and a real frame's generic node both carry an advisory
// exclusive lock (flock) for as long as the unit is open, and the generic
// node is opened with O_EXCL as well, so Kestova programs and other software
// that asks for exclusive use keep out of each other. Two links in one
// process exclude each other too (the lock belongs to the open file).
//
// A frame image may also be opened by a user who can only read it. Such an
// open must never keep the image's owner from writing, so the virtual frame
// takes its image with HoldFrameImageOrClose instead: writers (the image
// open for writing) exclude each other with an open-file-description write
// lock (fcntl F_OFD_SETLK), which only an open that can write the file can
// take, plus the exclusive flock that names them; a flock held through an
// open that cannot write the image does not stop a writer. An open that
// can only read takes a shared flock where it can (it shows as a reader)
// and is refused while a writer holds the image.
//
// A unit that is taken is not opened at all: the opener throws
// FrameInUseError (device/FrameInUse.h, all that generic code sees of this),
// naming the program where the system tells it (/proc/locks and
// /proc/PID/comm; nothing is written anywhere to find it).

#include "device/FrameInUse.h"

#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace kestova {

enum class FrameLockResult { Taken, InUse, Failed };

// Takes the exclusive lock on the open image or node `fd` without waiting.
// InUse: someone else holds it (`holder` as FrameLockHolder tells);
// Failed: the system refused the lock itself (`error` says why).
FrameLockResult LockFrameExclusively(int fd, std::string* holder, std::string* error = nullptr);

// What every unit does on open: take the frame for this program. Held: returns
// an empty string. Taken by another program: closes fd and throws
// FrameInUseError naming the holder. The lock cannot be taken at all: closes
// fd and returns why.
std::string HoldFrameOrClose(int fd);

// The same rule for a virtual frame's image, opened for reading and writing
// or (a user who may only read it) for reading only, see above.
std::string HoldFrameImageOrClose(int fd, const std::string& procRoot = "/proc");

// True when process `pid` holds the file with this device and inode only
// through opens that cannot write it: every descriptor of it on the file is
// read-only, or (its descriptors cannot be looked into) its user has no
// write permission by the file's mode. False when it may write, or when
// the system does not tell.
bool HolderCannotWrite(long pid, const struct stat& file, const std::string& procRoot = "/proc");

// Who holds an flock on the file with this device and inode:
// "process 'NAME' (pid N)", NAME escaped (EscapeDeviceText), or empty
// when the lock table does not tell (another host, an OFD lock, or
// no /proc). Exclusive (writing) holders are named before shared ones.
// `procRoot` is replaceable for tests.
std::string FrameLockHolder(dev_t device, ino_t inode, const std::string& procRoot = "/proc");
// The same for a path (the node or image file); empty when it cannot be stat'ed.
std::string FrameLockHolderOfPath(const std::string& path, const std::string& procRoot = "/proc");

} // namespace kestova
