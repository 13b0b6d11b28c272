// SPDX-License-Identifier: GPL-3.0-or-later
// Exclusive use of a frame: the lock, and who holds it.

#include "device/linux/FrameLock.h"

#include "device/DeviceText.h"

#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <vector>

namespace kestova {

FrameLockResult LockFrameExclusively(int fd, std::string* holder, std::string* error) {
    int r;
    do {
        r = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    if (r == 0) return FrameLockResult::Taken;
    const int e = errno;
    if (e == EWOULDBLOCK) {
        if (holder) {
            struct stat st {};
            *holder = ::fstat(fd, &st) == 0 ? FrameLockHolder(st.st_dev, st.st_ino) : std::string();
        }
        return FrameLockResult::InUse;
    }
    if (error) *error = std::string("cannot lock it for exclusive use: ") + std::strerror(e);
    return FrameLockResult::Failed;
}

namespace {

std::string ProgramName(const std::string& procRoot, long pid) {
    std::ifstream in(procRoot + "/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

} // namespace

std::string FrameLockHolder(dev_t device, ino_t inode, const std::string& procRoot) {
    std::ifstream in(procRoot + "/locks");
    if (!in) return {};
    // "1: FLOCK  ADVISORY  WRITE 4242 fd:01:131090 0 EOF"; lines of waiters
    // carry "->" and are not holders. The device is the superblock's, which
    // stacked file systems may report differently from stat, so the inode
    // alone decides when it names exactly one lock.
    std::vector<long> exact, sameInode;
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("->") != std::string::npos) continue;
        std::istringstream fields(line);
        std::string id, type, advisory, mode, devIno;
        long pid = 0;
        if (!(fields >> id >> type >> advisory >> mode >> pid >> devIno)) continue;
        if (type != "FLOCK" || pid <= 0) continue;
        unsigned maj = 0, min = 0;
        unsigned long long ino = 0;
        if (std::sscanf(devIno.c_str(), "%x:%x:%llu", &maj, &min, &ino) != 3) continue;
        if (ino != static_cast<unsigned long long>(inode)) continue;
        if (maj == major(device) && min == minor(device)) exact.push_back(pid);
        sameInode.push_back(pid);
    }
    long pid = 0;
    if (exact.size() == 1)
        pid = exact.front();
    else if (exact.empty() && sameInode.size() == 1)
        pid = sameInode.front();
    if (pid <= 0) return {};
    // The name is whatever the process calls itself: escaped like text from
    // a device, and quoted, so that neither an escape sequence nor a name
    // like "kestova (pid 1)" passes for our own words.
    const std::string name = ProgramName(procRoot, pid);
    if (name.empty()) return "a process (pid " + std::to_string(pid) + ")";
    return "process '" + EscapeDeviceText(name) + "' (pid " + std::to_string(pid) + ")";
}

std::string FrameLockHolderOfPath(const std::string& path, const std::string& procRoot) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return FrameLockHolder(st.st_dev, st.st_ino, procRoot);
}

std::string HoldFrameOrClose(int fd) {
    std::string holder, error;
    switch (LockFrameExclusively(fd, &holder, &error)) {
    case FrameLockResult::Taken:
        return {};
    case FrameLockResult::InUse:
        ::close(fd);
        throw FrameInUseError(holder);
    case FrameLockResult::Failed:
        break;
    }
    ::close(fd);
    return error.empty() ? std::string("the frame could not be locked") : error;
}

} // namespace kestova
