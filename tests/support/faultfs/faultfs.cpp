// SPDX-License-Identifier: MIT
// A FUSE file system with one memory-backed file, "disk", whose reads and
// writes obey fault rules set on the command line or, while it runs, by
// writing lines to "ctl" (see rules.h). "stats" gives the counters; "store"
// is the disk's stored bytes without any rule. Every file is opened with
// direct_io so that each request reaches the daemon.
//
//   faultfs --size BYTES [--rule LINE]... [--parent PID] MOUNTPOINT
//
// It stays in the foreground, ends on SIGTERM, SIGINT or SIGHUP (unmounting
// itself), and gets SIGTERM when its parent dies.
#define FUSE_USE_VERSION 312

#include "disk.h"

#include <fuse.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum file_id { file_none, file_disk, file_ctl, file_stats, file_store };

struct file_entry {
    const char* path;
    file_id id;
    mode_t mode;
};

constexpr file_entry files[] = {
    {"/disk", file_disk, S_IFREG | 0600},
    {"/ctl", file_ctl, S_IFREG | 0200},
    {"/stats", file_stats, S_IFREG | 0400},
    {"/store", file_store, S_IFREG | 0600},
};

const file_entry* find_file(const char* path) {
    for (const file_entry& entry : files)
        if (std::strcmp(entry.path, path) == 0)
            return &entry;
    return nullptr;
}

void* fs_init(fuse_conn_info* connection, fuse_config* config) {
    connection->want &= ~FUSE_CAP_WRITEBACK_CACHE;
    config->direct_io = 1;
    config->kernel_cache = 0;
    config->auto_cache = 0;
    config->entry_timeout = 3600;
    config->attr_timeout = 3600;
    config->negative_timeout = 0;
    config->use_ino = 1;
    return nullptr;
}

int fs_getattr(const char* path, struct stat* st, fuse_file_info*) {
    std::memset(st, 0, sizeof *st);
    st->st_uid = getuid();
    st->st_gid = getgid();
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        st->st_ino = 1;
        return 0;
    }
    const file_entry* entry = find_file(path);
    if (entry == nullptr)
        return -ENOENT;
    st->st_mode = entry->mode;
    st->st_nlink = 1;
    st->st_ino = 2 + static_cast<ino_t>(entry->id);
    if (entry->id == file_disk || entry->id == file_store)
        st->st_size = static_cast<off_t>(disk_size());
    st->st_blksize = 4096;
    return 0;
}

int fs_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
               fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0)
        return -ENOTDIR;
    fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    for (const file_entry& entry : files)
        fill(buffer, entry.path + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int fs_open(const char* path, fuse_file_info* info) {
    const file_entry* entry = find_file(path);
    if (entry == nullptr)
        return -ENOENT;
    info->fh = entry->id;
    info->direct_io = 1;
    info->keep_cache = 0;
    return 0;
}

int fs_read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* info) {
    if (offset < 0)
        return -EINVAL;
    const auto at = static_cast<std::uint64_t>(offset);
    switch (info->fh) {
    case file_disk:
        return disk_read(buffer, size, at);
    case file_store:
        return disk_read_stored(buffer, size, at);
    case file_stats: {
        const std::string text = disk_stats_text();
        if (at >= text.size())
            return 0;
        const std::size_t length = std::min(size, text.size() - static_cast<std::size_t>(at));
        std::memcpy(buffer, text.data() + at, length);
        return static_cast<int>(length);
    }
    default:
        return -EACCES;
    }
}

int fs_write(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* info) {
    if (offset < 0)
        return -EINVAL;
    const auto at = static_cast<std::uint64_t>(offset);
    switch (info->fh) {
    case file_disk:
        return disk_write(buffer, size, at);
    case file_store:
        return disk_write_stored(buffer, size, at);
    case file_ctl: {
        const std::string error = disk_command(std::string(buffer, size));
        if (!error.empty()) {
            std::fprintf(stderr, "faultfs: %s\n", error.c_str());
            return -EINVAL;
        }
        return static_cast<int>(size);
    }
    default:
        return -EACCES;
    }
}

int fs_truncate(const char* path, off_t, fuse_file_info*) {
    // "echo rule > ctl" truncates first; the other files keep their size.
    const file_entry* entry = find_file(path);
    if (entry == nullptr)
        return -ENOENT;
    return entry->id == file_ctl ? 0 : -EPERM;
}

int fs_flush(const char*, fuse_file_info*) {
    return 0;
}
// The loop driver sends a flush of its queue here as an fsync of the disk file.
int fs_fsync(const char*, int, fuse_file_info* info) {
    if (info->fh == file_disk)
        disk_count_flush();
    return 0;
}

bool parse_size(const char* text, std::uint64_t& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 0);
    return errno == 0 && end != text && *end == '\0' && text[0] != '-';
}

int usage() {
    std::fprintf(stderr,
                 "usage: faultfs --size BYTES [--rule LINE]... [--parent PID] MOUNTPOINT\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    // End with whoever started us, so a killed test leaves no daemon behind.
    prctl(PR_SET_PDEATHSIG, SIGTERM);

    std::uint64_t size = 0;
    bool size_given = false;
    std::vector<std::string> rules;
    const char* mountpoint = nullptr;
    long parent = 0;
    for (int at = 1; at < argc; ++at) {
        const std::string word = argv[at];
        if (word == "--size" && at + 1 < argc) {
            if (!parse_size(argv[++at], size))
                return usage();
            size_given = true;
        } else if (word == "--rule" && at + 1 < argc) {
            rules.emplace_back(argv[++at]);
        } else if (word == "--parent" && at + 1 < argc) {
            parent = std::atol(argv[++at]);
        } else if (mountpoint == nullptr && word.size() > 0 && word[0] != '-') {
            mountpoint = argv[at];
        } else {
            return usage();
        }
    }
    if (!size_given || mountpoint == nullptr)
        return usage();
    if (parent != 0 && getppid() != parent)
        return 1; // the parent died before PR_SET_PDEATHSIG took effect

    if (!disk_init(size)) {
        std::perror("faultfs: cannot map memory for the disk");
        return 1;
    }
    for (const std::string& rule : rules) {
        const std::string error = disk_command(rule);
        if (!error.empty()) {
            std::fprintf(stderr, "faultfs: %s\n", error.c_str());
            return 2;
        }
    }

    fuse_operations operations{};
    operations.init = fs_init;
    operations.getattr = fs_getattr;
    operations.readdir = fs_readdir;
    operations.open = fs_open;
    operations.read = fs_read;
    operations.write = fs_write;
    operations.truncate = fs_truncate;
    operations.flush = fs_flush;
    operations.fsync = fs_fsync;

    char program[] = "faultfs";
    char option[] = "-o";
    char mount_options[] = "fsname=faultfs,subtype=faultfs";
    char* fuse_argv[] = {program, option, mount_options, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, fuse_argv);

    fuse* fs = fuse_new(&args, &operations, sizeof operations, nullptr);
    fuse_opt_free_args(&args);
    if (fs == nullptr)
        return 1;
    if (fuse_mount(fs, mountpoint) != 0) {
        fuse_destroy(fs);
        return 1;
    }
    fuse_session* session = fuse_get_session(fs);
    if (fuse_set_signal_handlers(session) != 0) {
        fuse_unmount(fs);
        fuse_destroy(fs);
        return 1;
    }
    fuse_loop_config* loop = fuse_loop_cfg_create();
    // Enough threads that requests waiting in a delay never starve a "ctl" write.
    fuse_loop_cfg_set_max_threads(loop, 64);
    fuse_loop_cfg_set_idle_threads(loop, 8);
    const int result = fuse_loop_mt(fs, loop);
    fuse_loop_cfg_destroy(loop);
    disk_release_delays();
    fuse_remove_signal_handlers(session);
    fuse_unmount(fs);
    fuse_destroy(fs);
    // The loop gives the signal number when a signal ended it: a clean end.
    const bool clean = result == 0 || result == SIGTERM || result == SIGINT || result == SIGHUP;
    return clean ? 0 : 1;
}
