// SPDX-License-Identifier: GPL-3.0-or-later
// Unmounting the frame's own volume. The desktop may mount the frame's CD-ROM
// volume when it arrives; a program that wants it out of the way names the
// file that lies at that volume's root (the key file) and every mounted
// volume holding it is unmounted through udisksctl, which a desktop user may
// run without being root. Nothing here is required for talking to the frame,
// so every failure is ignored.

#include "device/linux/LinuxDiscovery.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kestova {

namespace {

// Fields of the mount table escape blanks, tabs, new lines and backslashes
// as three-digit octal numbers (\040 and so on).
std::string DecodeMountField(const std::string& in) {
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '\\' && i + 3 < in.size() &&
            in[i + 1] >= '0' && in[i + 1] <= '3' && in[i + 2] >= '0' && in[i + 2] <= '7' &&
            in[i + 3] >= '0' && in[i + 3] <= '7') {
            out.push_back(static_cast<char>((in[i + 1] - '0') * 64 + (in[i + 2] - '0') * 8 + (in[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(in[i]);
        }
    }
    return out;
}

bool InPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        // An empty entry means the current directory.
        std::string full = end > start ? dirs.substr(start, end - start) : std::string(1, '.');
        full.push_back('/');
        full.append(program);
        if (access(full.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

int RunQuietly(const std::vector<std::string>& argv) {
    if (argv.empty()) return -1;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return -1;
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

bool VolumeIsOnDevice(const std::string& node, const std::string& mountPoint) {
    struct stat dev {}, root {};
    if (stat(node.c_str(), &dev) != 0 || !S_ISBLK(dev.st_mode)) return false;
    if (stat(mountPoint.c_str(), &root) != 0 || !S_ISDIR(root.st_mode)) return false;
    return dev.st_rdev == root.st_dev;
}

std::vector<MountEntry> ReadMountTable(const std::string& mountsFile) {
    std::vector<MountEntry> out;
    std::ifstream in(mountsFile);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string dev, mp, type;
        if (!(ls >> dev >> mp >> type)) continue;
        out.push_back({DecodeMountField(dev), DecodeMountField(mp), DecodeMountField(type)});
    }
    return out;
}

int UnmountKeyFileVolumes(const std::string& keyFile, const KeyVolumeOptions& options) {
    // A key file name with a path in it would look outside the volume root.
    if (keyFile.empty() || keyFile.find('/') != std::string::npos || keyFile == "." || keyFile == "..")
        return 0;
    const bool have = options.haveUdisksctl ? options.haveUdisksctl() : InPath("udisksctl");
    if (!have) return 0;
    auto run = options.run ? options.run : RunQuietly;
    int tried = 0;
    for (const auto& m : ReadMountTable(options.mountsFile)) {
        // Only volumes of a device node; never the system's root.
        if (m.device.rfind("/dev/", 0) != 0 || m.mountPoint == "/") continue;
        std::string keyPath = m.mountPoint;
        keyPath.append("/").append(keyFile);
        if (!IsRegularFile(keyPath)) continue;
        const bool sameDevice = options.volumeIsOnDevice ? options.volumeIsOnDevice(m.device, m.mountPoint)
                                                         : VolumeIsOnDevice(m.device, m.mountPoint);
        if (!sameDevice) continue;
        ++tried;
        run({"udisksctl", "unmount", "--no-user-interaction", "--block-device", m.device});
    }
    return tried;
}

} // namespace kestova
