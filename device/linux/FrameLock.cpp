// SPDX-License-Identifier: GPL-3.0-or-later
// Exclusive use of a frame: the lock, and who holds it.

#include "device/linux/FrameLock.h"

#include "device/DeviceText.h"

#include <dirent.h>
#include <fcntl.h>
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

namespace {

struct FlockHolder {
    long pid = 0;
    bool exclusive = false;
    bool exactDevice = false;
};

// Every flock on the inode, from the lock table: "1: FLOCK  ADVISORY  WRITE
// 4242 fd:01:131090 0 EOF"; lines of waiters carry "->" and are not holders.
std::vector<FlockHolder> FlockHolders(dev_t device, ino_t inode, const std::string& procRoot) {
    std::vector<FlockHolder> holders;
    std::ifstream in(procRoot + "/locks");
    std::string line;
    while (in && std::getline(in, line)) {
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
        holders.push_back({pid, mode == "WRITE", maj == major(device) && min == minor(device)});
    }
    return holders;
}

std::string Described(long pid, const std::string& procRoot) {
    // The name is whatever the process calls itself: escaped like text from
    // a device, and quoted, so that neither an escape sequence nor a name
    // like "kestova (pid 1)" passes for our own words.
    const std::string name = ProgramName(procRoot, pid);
    if (name.empty()) return "a process (pid " + std::to_string(pid) + ")";
    return "process '" + EscapeDeviceText(name) + "' (pid " + std::to_string(pid) + ")";
}

} // namespace

std::string FrameLockHolder(dev_t device, ino_t inode, const std::string& procRoot) {
    // The device is the superblock's, which stacked file systems may report
    // differently from stat, so the inode alone decides when it names
    // exactly one lock. A writer (exclusive lock) is named before readers.
    const std::vector<FlockHolder> all = FlockHolders(device, inode, procRoot);
    for (const bool exclusive : {true, false}) {
        std::vector<long> exact, sameInode;
        for (const FlockHolder& h : all) {
            if (h.exclusive != exclusive) continue;
            if (h.exactDevice) exact.push_back(h.pid);
            sameInode.push_back(h.pid);
        }
        long pid = 0;
        if (exact.size() == 1)
            pid = exact.front();
        else if (exact.empty() && sameInode.size() == 1)
            pid = sameInode.front();
        if (pid > 0) return Described(pid, procRoot);
        if (!sameInode.empty()) return {};
    }
    return {};
}

bool HolderCannotWrite(long pid, const struct stat& file, const std::string& procRoot) {
    const std::string base = procRoot + "/" + std::to_string(pid);
    // Its own descriptors on the file, where we may look into them.
    if (DIR* dir = ::opendir((base + "/fd").c_str())) {
        bool found = false, writes = false;
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            struct stat st {};
            if (::stat((base + "/fd/" + entry->d_name).c_str(), &st) != 0) continue;
            if (st.st_dev != file.st_dev || st.st_ino != file.st_ino) continue;
            found = true;
            std::ifstream info(base + "/fdinfo/" + entry->d_name);
            std::string line;
            bool known = false;
            while (std::getline(info, line)) {
                unsigned long flags = 0;
                if (std::sscanf(line.c_str(), "flags: %lo", &flags) == 1) {
                    known = true;
                    if ((flags & O_ACCMODE) != O_RDONLY) writes = true;
                    break;
                }
            }
            if (!known) writes = true;
        }
        ::closedir(dir);
        if (found) return !writes;
    }
    // Another user's process: what its user may do with the file.
    std::ifstream status(base + "/status");
    std::string line;
    long uid = -1, gid = -1;
    std::vector<long> groups;
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        long real = 0, effective = 0;
        if (key == "Uid:" && (fields >> real >> effective)) uid = effective;
        if (key == "Gid:" && (fields >> real >> effective)) gid = effective;
        if (key == "Groups:")
            for (long g = 0; fields >> g;) groups.push_back(g);
    }
    if (uid < 0 || gid < 0 || uid == 0) return false;
    if (uid == long(file.st_uid)) return (file.st_mode & S_IWUSR) == 0;
    bool member = gid == long(file.st_gid);
    for (const long g : groups) member = member || g == long(file.st_gid);
    if (member) return (file.st_mode & S_IWGRP) == 0;
    return (file.st_mode & S_IWOTH) == 0;
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

std::string HoldFrameImageOrClose(int fd, const std::string& procRoot) {
    const int mode = ::fcntl(fd, F_GETFL);
    const bool writer = mode >= 0 && (mode & O_ACCMODE) != O_RDONLY;
    struct stat self {};
    if (::fstat(fd, &self) != 0) {
        const std::string why = std::strerror(errno);
        ::close(fd);
        return "cannot examine it: " + why;
    }
    const auto inUse = [&](const std::string& holder) {
        ::close(fd);
        throw FrameInUseError(holder);
    };
    // The holders of an flock who could write the image; the first named.
    const auto writingHolder = [&](bool* any) {
        *any = false;
        for (const FlockHolder& h : FlockHolders(self.st_dev, self.st_ino, procRoot)) {
            if (h.pid == long(::getpid()) || HolderCannotWrite(h.pid, self, procRoot)) continue;
            *any = true;
            return Described(h.pid, procRoot);
        }
        return std::string();
    };
    struct flock range {};
    range.l_whence = SEEK_SET;  // the whole file
    if (writer) {
        range.l_type = F_WRLCK;
        int r;
        do {
            r = ::fcntl(fd, F_OFD_SETLK, &range);
        } while (r != 0 && errno == EINTR);
        if (r != 0 && (errno == EAGAIN || errno == EACCES)) {
            bool any = false;
            const std::string named = writingHolder(&any);
            inUse(named.empty() ? FrameLockHolder(self.st_dev, self.st_ino, procRoot) : named);
        }
        const bool writersLocked = r == 0;  // file systems without these locks have the flock alone
        std::string holder, error;
        switch (LockFrameExclusively(fd, &holder, &error)) {
        case FrameLockResult::Taken:
            return {};
        case FrameLockResult::InUse: {
            // Holders that can only read the image stand in no writer's way.
            bool any = false;
            const std::string named = writingHolder(&any);
            if (any || !writersLocked) inUse(any ? named : holder);
            return {};
        }
        case FrameLockResult::Failed:
            break;
        }
        ::close(fd);
        return error.empty() ? std::string("the frame could not be locked") : error;
    }
    // An open that can only read: refused while a writer holds the image,
    // listed as a reader otherwise.
    range.l_type = F_RDLCK;
    if (::fcntl(fd, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK) {
        bool any = false;
        const std::string named = writingHolder(&any);
        inUse(named.empty() ? FrameLockHolder(self.st_dev, self.st_ino, procRoot) : named);
    }
    int r;
    do {
        r = ::flock(fd, LOCK_SH | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    if (r != 0 && errno == EWOULDBLOCK) {
        bool any = false;
        const std::string named = writingHolder(&any);
        if (any) inUse(named);
    }
    return {};
}

} // namespace kestova
