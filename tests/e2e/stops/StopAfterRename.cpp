// Loaded into a child process with LD_PRELOAD by a kill test: the child stops
// itself (SIGSTOP) right after each file it renames into place in the folder
// CALVARO_STOP_AFTER_RENAME_INTO names, so that the test sees every write of
// that folder's files while nothing has run past it, however slow or crowded
// the machine. The test looks at the files, then kills the child there or
// lets it go on (SIGCONT). Without the variable it changes nothing.

#include <dlfcn.h>
#include <limits.h>
#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

using RenameFunction = int (*)(const char*, const char*);

// Whether the file `path` now names lies directly in `folder`, both read
// through their links (the process may name its data root another way).
bool stopAfterRenameIsIn(const char* path, const char* folder) {
    char file[PATH_MAX], place[PATH_MAX];
    if (!realpath(path, file) || !realpath(folder, place)) return false;
    char* slash = std::strrchr(file, '/');
    if (!slash) return false;
    *slash = '\0';
    return std::strcmp(file, place) == 0 || (slash == file && std::strcmp(place, "/") == 0);
}

}  // namespace

extern "C" int rename(const char* from, const char* to) {
    static const RenameFunction next = reinterpret_cast<RenameFunction>(dlsym(RTLD_NEXT, "rename"));
    if (!next) return -1;
    const int result = next(from, to);
    const int kept = errno;
    const char* folder = std::getenv("CALVARO_STOP_AFTER_RENAME_INTO");
    // SIGSTOP stops every thread of the process, not only this one.
    if (result == 0 && folder && stopAfterRenameIsIn(to, folder)) raise(SIGSTOP);
    errno = kept;
    return result;
}
