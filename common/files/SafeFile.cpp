// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/files/SafeFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestova {

namespace {

// The process's umask without changing it (umask() can only be read by
// setting it, which races with other threads creating files). When the
// kernel does not say, the strictest mask keeps the file private.
mode_t CurrentUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) {
            try {
                return mode_t(std::stoul(line.substr(6), nullptr, 8) & 0777);
            } catch (const std::exception&) {
                break;
            }
        }
    }
    return 077;
}

SafeWriteResult Failure(int error, const std::string& what) {
    SafeWriteResult r;
    r.error = error;
    r.reason = what + (error ? std::string(": ") + std::strerror(error) : std::string());
    return r;
}

// Gives `tmp` the name `target` only when nothing has that name yet.
int RenameNoReplace(const std::string& tmp, const std::string& target) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
#endif
    // link() never follows or replaces the new name, a dangling link included.
    if (::link(tmp.c_str(), target.c_str()) != 0) return errno;
    ::unlink(tmp.c_str());
    return 0;
}

}  // namespace

bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        p += n;
        size -= std::size_t(n);
    }
    return true;
}

SafeWriteResult WriteFileSafely(const std::string& path, const void* data, std::size_t size,
                                SafeWriteMode mode) {
    if (size > 0 && data == nullptr) return Failure(EINVAL, "no data");
    return WriteFileSafely(path, [&](int fd) { return WriteAll(fd, data, size); }, mode);
}

SafeWriteResult WriteFileSafely(const std::string& path, const std::function<bool(int fd)>& fill,
                                SafeWriteMode mode) {
    if (path.empty() || path.back() == '/') return Failure(EISDIR, "not a file name");
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base == "." || base == "..") return Failure(EISDIR, "not a file name");

    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (mode == SafeWriteMode::CreateNew) {
            SafeWriteResult r = Failure(EEXIST, "the file exists already");
            r.exists = true;
            return r;
        }
        if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
            return Failure(0, "it is not a regular file; it is left as it is");
    }

    // A name of our own in the target's folder, so the final rename stays on
    // one file system; mkstemp creates it exclusively, mode 0600.
    std::string tmp = folder + "/." + base.substr(0, 200) + ".XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back('\0');
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return Failure(errno, "cannot create a file in " + folder);
    tmp.assign(name.data());

    auto fail = [&](int error, const std::string& what) {
        ::close(fd);
        ::unlink(tmp.c_str());  // ours alone: the target is never removed
        return Failure(error, what);
    };
    errno = 0;
    if (!fill(fd)) return fail(errno ? errno : EIO, "cannot write");
    if (::fchmod(fd, 0666 & ~CurrentUmask()) != 0) return fail(errno, "cannot set the file mode");
    if (::fsync(fd) != 0) return fail(errno, "cannot write");
    if (::close(fd) != 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        return Failure(e, "cannot write");
    }

    int error = 0;
    if (mode == SafeWriteMode::CreateNew) {
        error = RenameNoReplace(tmp, path);
    } else {
        // Checked again just before: a node put there meanwhile is not replaced.
        if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
            ::unlink(tmp.c_str());
            return Failure(0, "it is not a regular file; it is left as it is");
        }
        error = ::rename(tmp.c_str(), path.c_str()) == 0 ? 0 : errno;
    }
    if (error != 0) {
        ::unlink(tmp.c_str());
        SafeWriteResult r = Failure(error, error == EEXIST ? "the file exists already" : "cannot write");
        r.exists = error == EEXIST;
        return r;
    }
    // The new name on disk too.
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    SafeWriteResult ok;
    ok.ok = true;
    return ok;
}

}  // namespace kestova
