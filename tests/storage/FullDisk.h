#pragma once

// A full disk on demand: a pass-through file-system layer installed as
// SQLite's default, whose writes fail with SQLITE_FULL while the disk is
// "full", as writes on a real full disk fail with ENOSPC. Connections opened
// after FullDisk::install() use it; reads and everything else go through.

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>

class FullDisk {
  public:
    // Installs the layer once per process; later calls do nothing.
    static void install() {
        static const bool installed = [] {
            underlying() = sqlite3_vfs_find(nullptr);
            static sqlite3_vfs layer;
            std::memcpy(&layer, underlying(), sizeof layer);
            layer.zName = "calvaro-full-disk";
            layer.szOsFile = static_cast<int>(sizeof(File)) + underlying()->szOsFile;
            layer.xOpen = open;
            layer.pNext = nullptr;
            return sqlite3_vfs_register(&layer, 1) == SQLITE_OK;
        }();
        (void)installed;
    }
    static void setFull(bool full) { flag().store(full); }
    // A nearly full disk: a write that would make a file longer than `bytes`
    // fails as on a full disk (0: no such limit).
    static void setFileLimit(int64_t bytes) { fileLimit().store(bytes); }
    // The most log frames one commit appended since the last call: each
    // frame is a page of the log, and the last of a commit says so.
    static int64_t takeLargestCommitFrames() {
        std::lock_guard lock(frameMutex());
        return std::exchange(largestCommitFrames(), 0);
    }
    static bool isFull() { return flag().load(); }
    // The writes refused since the last call.
    static int takeRefusedWrites() { return refused().exchange(0); }

    // Fills the disk for the life of the object.
    struct Scope {
        Scope() { setFull(true); }
        ~Scope() { setFull(false); }
    };

  private:
    struct File {
        sqlite3_file base;
        sqlite3_file* real;
        bool log;
    };
    static std::atomic<int64_t>& fileLimit() {
        static std::atomic<int64_t> limit{0};
        return limit;
    }
    static std::mutex& frameMutex() {
        static std::mutex mutex;
        return mutex;
    }
    static int64_t& largestCommitFrames() {
        static int64_t frames = 0;
        return frames;
    }
    // A frame header (24 bytes, after the log's 32-byte header) names the
    // database's size in pages after a commit in its bytes 4-7, 0 otherwise.
    static void watchLog(const void* data, int amount, sqlite3_int64 offset) {
        if (amount != 24 || offset < 32) return;
        const auto* bytes = static_cast<const unsigned char*>(data);
        static int64_t frames = 0;
        std::lock_guard lock(frameMutex());
        ++frames;
        if ((bytes[4] | bytes[5] | bytes[6] | bytes[7]) == 0) return;
        largestCommitFrames() = std::max(largestCommitFrames(), frames);
        frames = 0;
    }

    static sqlite3_vfs*& underlying() {
        static sqlite3_vfs* vfs = nullptr;
        return vfs;
    }
    static std::atomic<bool>& flag() {
        static std::atomic<bool> full{false};
        return full;
    }
    static std::atomic<int>& refused() {
        static std::atomic<int> count{0};
        return count;
    }
    static sqlite3_file* real(sqlite3_file* file) { return reinterpret_cast<File*>(file)->real; }

    static int open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
        File* wrapper = reinterpret_cast<File*>(file);
        wrapper->real = reinterpret_cast<sqlite3_file*>(wrapper + 1);
        wrapper->log = (flags & SQLITE_OPEN_WAL) != 0;
        int rc = underlying()->xOpen(underlying(), name, wrapper->real, flags, outFlags);
        wrapper->base.pMethods = wrapper->real->pMethods ? methods(wrapper->real->pMethods) : nullptr;
        return rc;
    }

    // The real file's methods with the write replaced; one table per real
    // table (the unix layer has a few).
    static const sqlite3_io_methods* methods(const sqlite3_io_methods* original) {
        struct Entry {
            const sqlite3_io_methods* original;
            sqlite3_io_methods wrapped;
        };
        static Entry entries[8];
        static int used = 0;
        static std::mutex mutex;
        std::lock_guard lock(mutex);
        for (int i = 0; i < used; ++i) {
            if (entries[i].original == original) return &entries[i].wrapped;
        }
        int i = used;
        entries[i].original = original;
        entries[i].wrapped = *original;
        entries[i].wrapped.xClose = [](sqlite3_file* f) { return real(f)->pMethods->xClose(real(f)); };
        entries[i].wrapped.xRead = [](sqlite3_file* f, void* data, int amount, sqlite3_int64 offset) {
            return real(f)->pMethods->xRead(real(f), data, amount, offset);
        };
        entries[i].wrapped.xWrite = [](sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
            const int64_t limit = fileLimit().load();
            if (flag().load() || (limit > 0 && offset + amount > limit)) {
                ++refused();
                return SQLITE_FULL;
            }
            if (reinterpret_cast<File*>(f)->log) watchLog(data, amount, offset);
            return real(f)->pMethods->xWrite(real(f), data, amount, offset);
        };
        entries[i].wrapped.xTruncate = [](sqlite3_file* f, sqlite3_int64 size) {
            return real(f)->pMethods->xTruncate(real(f), size);
        };
        entries[i].wrapped.xSync = [](sqlite3_file* f, int flags) { return real(f)->pMethods->xSync(real(f), flags); };
        entries[i].wrapped.xFileSize = [](sqlite3_file* f, sqlite3_int64* size) {
            return real(f)->pMethods->xFileSize(real(f), size);
        };
        entries[i].wrapped.xLock = [](sqlite3_file* f, int lock) { return real(f)->pMethods->xLock(real(f), lock); };
        entries[i].wrapped.xUnlock = [](sqlite3_file* f, int lock) {
            return real(f)->pMethods->xUnlock(real(f), lock);
        };
        entries[i].wrapped.xCheckReservedLock = [](sqlite3_file* f, int* out) {
            return real(f)->pMethods->xCheckReservedLock(real(f), out);
        };
        entries[i].wrapped.xFileControl = [](sqlite3_file* f, int op, void* arg) {
            return real(f)->pMethods->xFileControl(real(f), op, arg);
        };
        entries[i].wrapped.xSectorSize = [](sqlite3_file* f) { return real(f)->pMethods->xSectorSize(real(f)); };
        entries[i].wrapped.xDeviceCharacteristics = [](sqlite3_file* f) {
            return real(f)->pMethods->xDeviceCharacteristics(real(f));
        };
        if (original->iVersion >= 2) {
            entries[i].wrapped.xShmMap = [](sqlite3_file* f, int page, int size, int extend, void volatile** out) {
                return real(f)->pMethods->xShmMap(real(f), page, size, extend, out);
            };
            entries[i].wrapped.xShmLock = [](sqlite3_file* f, int offset, int n, int flags) {
                return real(f)->pMethods->xShmLock(real(f), offset, n, flags);
            };
            entries[i].wrapped.xShmBarrier = [](sqlite3_file* f) { real(f)->pMethods->xShmBarrier(real(f)); };
            entries[i].wrapped.xShmUnmap = [](sqlite3_file* f, int deleteFlag) {
                return real(f)->pMethods->xShmUnmap(real(f), deleteFlag);
            };
        }
        if (original->iVersion >= 3) {
            entries[i].wrapped.xFetch = [](sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
                return real(f)->pMethods->xFetch(real(f), offset, amount, out);
            };
            entries[i].wrapped.xUnfetch = [](sqlite3_file* f, sqlite3_int64 offset, void* page) {
                return real(f)->pMethods->xUnfetch(real(f), offset, page);
            };
        }
        used = i + 1;
        return &entries[i].wrapped;
    }
};
