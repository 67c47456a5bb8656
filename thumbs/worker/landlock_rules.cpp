// Landlock through its system calls (glibc has no wrappers).
#include "thumbs/worker/landlock_rules.h"

#include <cstdint>
#include <fcntl.h>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr uint64_t kReadAccess =
    LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;

uint64_t HandledAccess(int abi) {
    uint64_t access = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
                      LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                      LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
                      LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK |
                      LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
#ifdef LANDLOCK_ACCESS_FS_REFER
    if (abi >= 2) access |= LANDLOCK_ACCESS_FS_REFER;
#endif
#ifdef LANDLOCK_ACCESS_FS_TRUNCATE
    if (abi >= 3) access |= LANDLOCK_ACCESS_FS_TRUNCATE;
#endif
    (void)abi;
    return access;
}

void AllowBeneath(int ruleset, const char* path, uint64_t access) {
    const int dir = open(path, O_PATH | O_CLOEXEC);
    if (dir < 0) return;  // a missing folder needs no rule
    landlock_path_beneath_attr rule{};
    rule.allowed_access = access;
    rule.parent_fd = dir;
    syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
    close(dir);
}

}  // namespace

int MakeLandlockRuleset(const std::vector<std::pair<std::string, uint64_t>>& extraRules) {
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1) return -1;
    landlock_ruleset_attr attributes{};
    attributes.handled_access_fs = HandledAccess(static_cast<int>(abi));
    const long ruleset = syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0);
    if (ruleset < 0) return -1;
    const int fd = static_cast<int>(ruleset);
    // Libraries, plugins, fonts and their configuration; /proc and /sys for what the C and Qt
    // run-times ask about the machine. Only files (not folders) under /dev.
    for (const char* path : {"/usr", "/lib", "/lib64", "/lib32", "/bin", "/etc", "/var/cache/fontconfig",
                             "/proc", "/sys"})
        AllowBeneath(fd, path, kReadAccess);
    AllowBeneath(fd, "/dev/null", LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE);
    AllowBeneath(fd, "/dev/urandom", LANDLOCK_ACCESS_FS_READ_FILE);
    for (const auto& [path, access] : extraRules)
        AllowBeneath(fd, path.c_str(), access & HandledAccess(static_cast<int>(abi)));
    return fd;
}

uint64_t LandlockEverything() {
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi < 1 ? 0 : HandledAccess(static_cast<int>(abi));
}

bool RestrictFileSystemWithLandlock() {
    const int fd = MakeLandlockRuleset({});
    if (fd < 0) return false;
    const bool applied = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
                         syscall(SYS_landlock_restrict_self, fd, 0) == 0;
    close(fd);
    return applied;
}
