// SPDX-License-Identifier: MIT
#include "device/sysfs_linux.h"

#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>

std::string sysfs_line(const std::string& path) {
    std::string line;
    FILE* file = fopen(path.c_str(), "re");
    if (file == nullptr)
        return line;
    for (int c; (c = fgetc(file)) != EOF && c != '\n';)
        line += static_cast<char>(c);
    fclose(file);
    return line;
}

uint64_t sysfs_device_number(const std::string& path) {
    unsigned major_number = 0, minor_number = 0;
    if (std::sscanf(sysfs_line(path).c_str(), "%u:%u", &major_number, &minor_number) != 2)
        return 0;
    return makedev(major_number, minor_number);
}

std::string sysfs_folder(uint64_t device) {
    return "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

bool sysfs_is_partition(const std::string& folder) {
    return access((folder + "/partition").c_str(), F_OK) == 0;
}
