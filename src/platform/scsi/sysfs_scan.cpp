#include "platform/scsi/sysfs_scan.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace tallory::platform::scsi {

namespace fs = std::filesystem;

namespace {

std::string readLine(const fs::path& p) {
    std::ifstream in(p);
    std::string s;
    std::getline(in, s);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\t')) s.pop_back();
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    return s.substr(i);
}

bool parseHctl(const std::string& name, ScsiAddress& a) {
    unsigned h, c, t, l;
    char tail;
    if (std::sscanf(name.c_str(), "%u:%u:%u:%u%c", &h, &c, &t, &l, &tail) != 4) return false;
    a = {h, c, t, l};
    return true;
}

}  // namespace

std::vector<SysfsDevice> scanSysfs(const std::string& sysRoot, const std::string& devRoot) {
    std::vector<SysfsDevice> out;
    std::error_code ec;
    const fs::path block = fs::path(sysRoot) / "class" / "block";
    // A bound on what we look at: a machine with more block devices is not
    // one this scan was written for, but it must not stall on it.
    constexpr int kMaxEntries = 4096;
    int seen = 0;
    for (fs::directory_iterator it(block, ec), end; !ec && it != end && seen < kMaxEntries; it.increment(ec), ++seen) {
        const std::string name = it->path().filename().string();
        if (name.size() < 3 || name.compare(0, 2, "sr") != 0) continue;
        if (!std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
        if (name.size() > 6) continue;
        SysfsDevice d;
        d.number = std::stoi(name.substr(2));
        d.node = devRoot + "/" + name;
        const fs::path dev = it->path() / "device";
        std::error_code e2;
        const fs::path target = fs::canonical(dev, e2);
        if (e2 || !parseHctl(target.filename().string(), d.address)) continue;
        d.vendor = readLine(dev / "vendor");
        d.model = readLine(dev / "model");
        d.revision = readLine(dev / "rev");
        const std::string type = readLine(dev / "type");
        if (!type.empty() && std::all_of(type.begin(), type.end(), ::isdigit) && type.size() < 4) d.type = std::stoi(type);
        d.adapter = readLine(fs::path(sysRoot) / "class" / "scsi_host" / ("host" + std::to_string(d.address.host)) / "proc_name");
        out.push_back(std::move(d));
    }
    std::sort(out.begin(), out.end(), [](const SysfsDevice& a, const SysfsDevice& b) { return a.number < b.number; });
    return out;
}

}  // namespace tallory::platform::scsi
