// SPDX-License-Identifier: MIT
#include "device/description.h"

#ifndef __FreeBSD__
#error "this file asks a FreeBSD disk for its model and serial"
#endif

#include <sys/disk.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// TEXT up to its first NUL, at most SIZE bytes.
std::string text_of(const char* text, std::size_t size) {
    return std::string(text, strnlen(text, size));
}

} // namespace

std::string describe_device(const device_identity&, int kept_fd) {
    // GEOM's description of the disk is its model.
    struct diocgattr_arg model = {};
    snprintf(model.name, sizeof model.name, "%s", "GEOM::descr");
    model.len = sizeof model.value.str;
    const std::string model_text = ioctl(kept_fd, DIOCGATTR, &model) == 0
                                       ? text_of(model.value.str, sizeof model.value.str)
                                       : "";
    char serial[DISK_IDENT_SIZE] = {};
    const std::string serial_text =
        ioctl(kept_fd, DIOCGIDENT, serial) == 0 ? text_of(serial, sizeof serial) : "";
    return model_and_serial(model_text, serial_text);
}
