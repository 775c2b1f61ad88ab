#include "common/memory.hpp"

#include <sys/resource.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>

#include "common/errors.hpp"

namespace kestrilune {
namespace {

constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

std::uint64_t physical_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) {
        return kUnlimited;
    }
    return bytes_of_cells(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size),
                          1);
}

std::uint64_t soft_limit(int resource) {
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return kUnlimited;
    }
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

// A cgroup limit file holds a number of bytes, or "max" (v2) for none.
std::uint64_t read_limit_file(const std::string& path) {
    std::ifstream file(path);
    std::string text;
    if (!(file >> text) || text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return kUnlimited;
    }
    try {
        return std::stoull(text);
    } catch (...) {
        return kUnlimited;
    }
}

// The least limit set on the process's cgroup or any of its ancestors. /proc/self/cgroup
// names the cgroup: "0::<path>" under cgroup v2, "<n>:...memory...:<path>" under v1.
std::uint64_t cgroup_limit() {
    std::ifstream file("/proc/self/cgroup");
    std::string line;
    std::uint64_t least = kUnlimited;
    while (std::getline(file, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) {
            continue;
        }
        const std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        std::string mount;
        std::string limit_file;
        if (line.compare(0, first, "0") == 0 && controllers.empty()) {
            mount = "/sys/fs/cgroup";
            limit_file = "/memory.max";
        } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
            mount = "/sys/fs/cgroup/memory";
            limit_file = "/memory.limit_in_bytes";
        } else {
            continue;
        }
        // Inside a container the file system may show only part of the path: every
        // ancestor that exists is read, the mount point itself included.
        for (;;) {
            least = std::min(least, read_limit_file(mount + path + limit_file));
            if (path.empty() || path == "/") {
                break;
            }
            path.resize(path.rfind('/'));
        }
    }
    return least;
}

}  // namespace

std::uint64_t bytes_of_cells(std::uint64_t a, std::uint64_t b, std::uint64_t c) noexcept {
    std::uint64_t ab = 0;
    std::uint64_t abc = 0;
    if (__builtin_mul_overflow(a, b, &ab) || __builtin_mul_overflow(ab, c, &abc)) {
        return kUnlimited;
    }
    return abc;
}

std::uint64_t memory_limit_bytes() {
    return std::min({physical_memory(), cgroup_limit(), soft_limit(RLIMIT_AS),
                     soft_limit(RLIMIT_DATA)});
}

void require_fits(std::uint64_t bytes, std::uint64_t limit, const std::string& what) {
    if (bytes > limit) {
        throw TooLarge(what + " needs " + format_bytes(bytes) + ", more than the " +
                       format_bytes(limit) + " of memory this process may use");
    }
}

void require_fits(std::uint64_t bytes, const std::string& what) {
    require_fits(bytes, memory_limit_bytes(), what);
}

std::string format_bytes(std::uint64_t bytes) {
    if (bytes == kUnlimited) {
        return "more than 18 EB";
    }
    constexpr const char* kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
    if (bytes < 1000) {
        return std::to_string(bytes) + " bytes";
    }
    double value = static_cast<double>(bytes) / 1000.0;
    std::size_t unit = 0;
    while (value >= 999.95 && unit + 1 < std::size(kUnits)) {
        value /= 1000.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f %s", value, kUnits[unit]);
    return text;
}

void return_free_memory(std::size_t worth) noexcept {
#if defined(__GLIBC__)
#if __GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33)
    if (worth != 0 && mallinfo2().fordblks < worth) {
        return;
    }
#else
    static_cast<void>(worth);  // no mallinfo2 before glibc 2.33: always trim, as before
#endif
    malloc_trim(0);
#else
    static_cast<void>(worth);
#endif
}

}  // namespace kestrilune
