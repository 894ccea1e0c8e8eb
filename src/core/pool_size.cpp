#include "core/pool_size.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace quarnel {
namespace {

// A decimal integer made of digits only (as Rust's usize parsing accepts,
// with an optional leading '+').
std::optional<std::size_t> parse_count(const char* text) {
    if (!text) return std::nullopt;
    std::string s(text);
    std::size_t start = (!s.empty() && s[0] == '+') ? 1 : 0;
    if (s.size() == start) return std::nullopt;
    std::size_t value = 0;
    for (std::size_t i = start; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return std::nullopt;
        std::size_t digit = static_cast<std::size_t>(s[i] - '0');
        if (value > (SIZE_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::string> read_first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    return line;
}

// cgroup v2: "max 100000" or "<quota> <period>" in cpu.max of the process's
// cgroup or one of its ancestors.
std::optional<std::size_t> cgroup_v2_quota(const std::string& group) {
    std::optional<std::size_t> best;
    std::string path = group;
    for (;;) {
        if (auto line = read_first_line("/sys/fs/cgroup" + path + "/cpu.max")) {
            std::istringstream fields(*line);
            std::string quota, period;
            fields >> quota >> period;
            auto q = parse_count(quota.c_str());
            auto p = parse_count(period.c_str());
            if (q && p && *p > 0) {
                std::size_t cpus = std::max<std::size_t>(1, *q / *p);
                best = best ? std::min(*best, cpus) : cpus;
            }
        }
        if (path.empty() || path == "/") break;
        auto cut = path.rfind('/');
        path = cut == 0 || cut == std::string::npos ? std::string("/") : path.substr(0, cut);
        if (path == "/") path = "";
    }
    return best;
}

// cgroup v1: cpu.cfs_quota_us / cpu.cfs_period_us under the cpu controller.
std::optional<std::size_t> cgroup_v1_quota(const std::string& group) {
    for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
        for (const std::string& dir : {std::string(mount) + group, std::string(mount)}) {
            auto q = read_first_line(dir + "/cpu.cfs_quota_us");
            auto p = read_first_line(dir + "/cpu.cfs_period_us");
            if (!q || !p) continue;
            long quota = std::strtol(q->c_str(), nullptr, 10);
            long period = std::strtol(p->c_str(), nullptr, 10);
            if (quota > 0 && period > 0)
                return std::max<std::size_t>(1, static_cast<std::size_t>(quota / period));
            return std::nullopt;  // -1: no quota
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> cgroup_quota() {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    std::optional<std::size_t> v1, v2;
    while (std::getline(in, line)) {
        // "hierarchy-id:controllers:path"
        auto a = line.find(':');
        auto b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) continue;
        std::string controllers = line.substr(a + 1, b - a - 1);
        std::string path = line.substr(b + 1);
        if (path == "/") path = "";
        if (line.compare(0, a, "0") == 0 && controllers.empty()) {
            v2 = cgroup_v2_quota(path);
        } else {
            std::istringstream names(controllers);
            std::string name;
            while (std::getline(names, name, ','))
                if (name == "cpu") v1 = cgroup_v1_quota(path);
        }
    }
    return v2 ? v2 : v1;
}

}  // namespace

std::size_t available_cpus() {
    std::size_t cpus = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) cpus = static_cast<std::size_t>(CPU_COUNT(&set));
    if (cpus == 0) return 1;
    if (auto quota = cgroup_quota()) cpus = std::min(cpus, *quota);
    return std::max<std::size_t>(cpus, 1);
}

std::size_t configured_pool_size() {
    auto threads = parse_count(std::getenv("RAYON_NUM_THREADS"));
    if (threads && *threads > 0) return *threads;
    if (!threads) {
        auto cpus = parse_count(std::getenv("RAYON_RS_NUM_CPUS"));
        if (cpus && *cpus > 0) return *cpus;
    }
    return available_cpus();
}

}  // namespace quarnel
