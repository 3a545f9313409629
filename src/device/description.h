// SPDX-License-Identifier: MIT
#pragma once

#include "device/identity.h"

#include <cstdint>
#include <string>
#include <vector>

// What the system says of a disk's identity, for the line that names the
// device before the question; one file per system. Linux: the name under
// /dev/disk/by-id that leads to the disk, else the model and serial that
// sysfs gives, else a loop device's "backing file FILE"; a partition shows its
// disk's. FreeBSD: the model and serial that the disk answers through
// KEPT_FD. DragonFly: the serial, from the disk's alias under /dev/serno.
// Empty when the system says nothing.
std::string describe_device(const device_identity& identity, int kept_fd);

// The pure decisions behind it, shared by the system files.

// "model MODEL, serial SERIAL" with the blanks around each trimmed; a part
// that is empty is left out, and "" when both are.
std::string model_and_serial(const std::string& model, const std::string& serial);

// Among NAMES, the entries of /dev/disk/by-id that lead to the disk, the one
// a user can check against the disk's label: one that carries model and
// serial (ata-, nvme-, usb-, scsi-, mmc-, virtio-, in that order) before
// any other kind, never a partition's (-partN) nor one that carries only a
// number (wwn-, nvme-eui. and the like). The shortest of one kind, then the
// first in byte order. Empty when none fits.
std::string pick_by_id_name(const std::vector<std::string>& names);

// An entry name under DragonFly's /dev/serno as a serial: every character
// outside [A-Za-z0-9-@+.] shown as '_', as the system makes those names.
std::string serno_text(const std::string& name);

// DragonFly packs a disk's unit, slice and partition into the minor number
// of its nodes; two nodes are on one disk when their majors and units agree.
uint32_t dragonfly_unit(uint32_t minor);
// Whether MINOR names a whole disk (slice 1, partition 255).
bool dragonfly_whole_disk(uint32_t minor);
