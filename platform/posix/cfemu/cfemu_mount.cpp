// cfemu_mount.cpp - `cfemu mount ROOT MOUNTPOINT`: a FUSE view of a sync root that every Linux program can use.
// The checks before mounting, the session's options and operations table, and the loop that serves until unmount.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/cfemu/cfemu.h"
#include "platform/posix/cfemu/mount_internal.h"

#include <fuse_lowlevel.h>  // after mount_internal.h, which sets the FUSE API version

namespace cfemu {

MountState g_mount;

namespace {

// How long the kernel may keep names and attributes before it asks the daemon again.
constexpr double kCacheSeconds = 1.0;

// ---- The operations ----

void* MountInit(fuse_conn_info* connection, fuse_config* config) {
    config->direct_io = 0;
    config->kernel_cache = 0;
    config->auto_cache = 0;
    // The kernel keeps names and attributes for a second: what changes through the mount it updates itself, a
    // change made beside the mount shows within that second, and a listing's stats need no trip to the daemon.
    config->entry_timeout = kCacheSeconds;
    config->attr_timeout = kCacheSeconds;
    config->negative_timeout = 0;
    // Every piece of a listing carries its entries' attributes, not only the first (the kernel's automatic mode).
    connection->want |= FUSE_CAP_READDIRPLUS;
    connection->want &= ~static_cast<unsigned>(FUSE_CAP_READDIRPLUS_AUTO);
    // An open file that is unlinked, or replaced by a rename, stays known to libfuse under a hidden name, so that
    // fstat, fchmod and futimens on it reach the daemon (without it they would fail with ESTALE). The root never
    // sees that name: the daemon deletes an unlinked file at once (DeleteFileW) and serves the hidden name through
    // the file's open handles (MountOnOpenFile).
    config->hard_remove = 0;
    connection->max_write = kTransferSize;
    connection->max_read = kTransferSize;
    connection->want |= FUSE_CAP_SPLICE_WRITE;
    return nullptr;
}

// The kernel's opcode of the request this thread serves, taken from the request's header as it is read: libfuse
// reads and serves each request on one thread. It hides an open file by the same rename for an unlink and for a
// rename over it, and only the unlink deletes the file on the root.
thread_local uint32_t t_opcode = 0;
constexpr uint32_t kFuseUnlink = 10;  // FUSE_UNLINK of <linux/fuse.h>

ssize_t MountReadRequest(int fd, void* buffer, size_t length, void*) {
    const ssize_t got = read(fd, buffer, length);
    uint32_t header[2] = {0, 0};  // fuse_in_header begins with its length and its opcode
    if (got >= static_cast<ssize_t>(sizeof(header))) std::memcpy(header, buffer, sizeof(header));
    t_opcode = header[1];
    return got;
}

ssize_t MountWriteReply(int fd, iovec* parts, int count, void*) { return writev(fd, parts, count); }

ssize_t MountSpliceReply(int in, off_t* inAt, int out, off_t* outAt, size_t length, unsigned int flags, void*) {
    return splice(in, inAt, out, outAt, length, flags);
}

// The one operations table. Operations left out have no counterpart on the Windows side: links and special files
// fail (ENOSYS, EPERM for a hard link), extended attributes too (ENOTSUP) but a placeholder's pin state
// (user.voske.pin), and locks stay the kernel's.
fuse_operations MountOperations() {
    fuse_operations operations{};
    operations.getattr = MountGetattr;
    operations.mkdir = MountMkdir;
    operations.unlink = MountUnlink;
    operations.rmdir = MountRmdir;
    operations.rename = MountRename;
    operations.chmod = MountChmod;
    operations.chown = MountChown;
    operations.truncate = MountTruncate;
    operations.open = MountOpen;
    operations.read_buf = MountReadBuf;
    operations.write = MountWrite;
    operations.statfs = MountStatfs;
    operations.release = MountRelease;
    operations.fsync = MountFsync;
    operations.opendir = MountOpendir;
    operations.readdir = MountReaddir;
    operations.releasedir = MountReleasedir;
    operations.init = MountInit;
    operations.create = MountCreate;
    operations.utimens = MountUtimens;
    operations.getxattr = MountGetxattr;
    operations.setxattr = MountSetxattr;
    operations.listxattr = MountListxattr;
    return operations;
}

const fuse_operations kMountOperations = MountOperations();

// ---- Start-up ----

int MountRefuse(const std::string& line) {
    std::fprintf(stderr, "cfemu mount: %s\n", line.c_str());
    return 1;
}

bool MountInside(const std::string& path, const std::string& directory) {
    return path == directory || directory == "/" ||
           (path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
            path[directory.size()] == '/');
}

std::string MountAbsolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof(cwd)) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

// The refusal a user can act on, or an empty string when ROOT and MOUNTPOINT can be mounted.
std::string MountCheck(const std::string& root, const std::string& mountpoint) {
    struct stat st;
    g_mount.base = cfemu::CanonicalPath(MountAbsolute(root));
    if (g_mount.base.empty() || stat(g_mount.base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return root + " is not a directory";
    }
    if (!cfemu::FindSyncRoot(g_mount.base, nullptr, nullptr)) {
        return root + " is neither a registered sync root nor a directory inside one";
    }
    if (stat(mountpoint.c_str(), &st) != 0) {
        if (errno == ENOTCONN) {
            return mountpoint + " is left mounted by a daemon that has ended; unmount it first: fusermount3 -u " +
                   mountpoint;
        }
        return mountpoint + ": " + std::strerror(errno) + " (the mount point must be an empty directory)";
    }
    if (!S_ISDIR(st.st_mode)) return mountpoint + " is not a directory (the mount point must be an empty directory)";
    g_mount.mountpoint = cfemu::CanonicalPath(MountAbsolute(mountpoint));
    struct stat parent;
    if (g_mount.mountpoint != "/" && stat((g_mount.mountpoint + "/..").c_str(), &parent) == 0 &&
        parent.st_dev != st.st_dev) {
        return mountpoint + " is already a mount point";
    }
    DIR* directory = opendir(mountpoint.c_str());
    if (directory == nullptr) return mountpoint + ": " + std::strerror(errno);
    bool empty = true;
    while (dirent* entry = readdir(directory)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) empty = false;
    }
    closedir(directory);
    if (!empty) return mountpoint + " is not empty (the mount point must be an empty directory)";
    // The daemon reaches the root by its path: below the mount point, that path would lead back into the daemon.
    if (MountInside(g_mount.mountpoint, g_mount.base) || MountInside(g_mount.base, g_mount.mountpoint)) {
        return mountpoint + " and " + root + " lie inside one another";
    }
    if (geteuid() != 0 && access(mountpoint.c_str(), W_OK) != 0) {
        return "no permission to mount on " + mountpoint + " (it must be writable by you)";
    }
    int device = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (device < 0 && (errno == ENOENT || errno == ENODEV || errno == ENXIO)) {
        return "there is no /dev/fuse: load the kernel's fuse module (modprobe fuse), or give a container the device";
    }
    if (device < 0 && geteuid() == 0) return std::string("cannot open /dev/fuse: ") + std::strerror(errno);
    if (device < 0 && access("/usr/bin/fusermount3", X_OK) != 0) {
        return "no permission to open /dev/fuse, and no fusermount3 to mount for you (install fuse3)";
    }
    if (device >= 0) close(device);
    return std::string();
}

}  // namespace

bool MountServingUnlink() { return t_opcode == kFuseUnlink; }

}  // namespace cfemu

int cfemu::RunMount(const std::string& root, const std::string& mountpoint) {
    std::string refusal = MountCheck(root, mountpoint);
    if (!refusal.empty()) return MountRefuse(refusal);
    g_mount.uid = geteuid();
    g_mount.gid = getegid();

    // A daemon killed without unmounting leaves nothing stale: fusermount3 watches it and unmounts then.
    std::string options = "fsname=cfemu:" + g_mount.base + ",subtype=cfemu,default_permissions,auto_unmount,max_read=" +
                          std::to_string(kTransferSize);
    std::vector<std::string> words = {"cfemu", "-o", options};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    fuse* session = fuse_new(&args, &kMountOperations, sizeof(kMountOperations), nullptr);
    fuse_opt_free_args(&args);  // libfuse copies the arguments it adds to
    if (session == nullptr) return MountRefuse("the FUSE session could not be set up (see the line above)");
    if (fuse_mount(session, g_mount.mountpoint.c_str()) != 0) {
        fuse_destroy(session);
        return MountRefuse("mounting on " + mountpoint + " failed (see the line above)");
    }
    fuse_custom_io io{};
    io.read = MountReadRequest;
    io.writev = MountWriteReply;
    io.splice_send = MountSpliceReply;  // reads still go from the root's file to the kernel without a copy
    if (fuse_session_custom_io(fuse_get_session(session), &io, fuse_session_fd(fuse_get_session(session))) != 0) {
        fuse_unmount(session);
        fuse_destroy(session);
        return MountRefuse("the FUSE session's requests could not be taken over");
    }
    if (fuse_set_signal_handlers(fuse_get_session(session)) != 0) {
        fuse_unmount(session);
        fuse_destroy(session);
        return MountRefuse("the signal handlers could not be installed");
    }
    std::fprintf(stderr, "cfemu mount: serving %s at %s (Ctrl+C, SIGTERM or fusermount3 -u %s ends it)\n",
                 g_mount.base.c_str(), g_mount.mountpoint.c_str(), g_mount.mountpoint.c_str());
    fuse_loop_config* loop = fuse_loop_cfg_create();
    fuse_loop_cfg_set_clone_fd(loop, 0);
    fuse_loop_cfg_set_idle_threads(loop, 10);
    int status = fuse_loop_mt(session, loop);
    fuse_loop_cfg_destroy(loop);
    fuse_remove_signal_handlers(fuse_get_session(session));
    fuse_unmount(session);
    // Programs that still hold files of a detached mount get no more of them; their handles close here.
    std::vector<MountFile*> left;
    {
        std::lock_guard<std::mutex> lock(g_mount.filesMutex);
        left.assign(g_mount.files.begin(), g_mount.files.end());
    }
    for (MountFile* file : left) MountClose(file);
    fuse_destroy(session);
    std::fprintf(stderr, "cfemu mount: unmounted %s\n", g_mount.mountpoint.c_str());
    // libfuse reports the signal that ended the loop; an end by Ctrl+C, SIGTERM, SIGHUP or unmount is a clean one.
    return status == 0 || status == SIGINT || status == SIGTERM || status == SIGHUP ? 0 : 1;
}
