// SPDX-License-Identifier: MIT
// What the write open cannot see on FreeBSD: GEOM refuses it only while
// someone holds the disk exclusively, not for a read-only mount on the disk
// or a partition, nor for swap on the whole disk. GEOM's own books show every
// holder: each level stacked on a provider adds its opens to the provider's
// access mode, so the tested provider's mode counts them all.
#include "device/platform.h"

#ifndef __FreeBSD__
#error "this file reads FreeBSD's GEOM tree"
#endif

#include "device/in_use_rules.h"
#include "device/probes.h"

#include <sys/param.h>
#include <sys/disk.h>
#include <sys/ioctl.h>
#include <libgeom.h>
#include <unistd.h>

#include <cstring>

namespace {

// The claim's read-write descriptor is the program's only open of the
// device; devfs opens never take an exclusive count.
constexpr geom_access own_opens{1, 1, 0};

const gprovider* provider_named(const gmesh& mesh, const char* name) {
    const gclass* kind;
    const ggeom* geom;
    const gprovider* provider;
    LIST_FOREACH(kind, &mesh.lg_class, lg_class) {
        LIST_FOREACH(geom, &kind->lg_geom, lg_geom) {
            LIST_FOREACH(provider, &geom->lg_provider, lg_provider) {
                if (std::strcmp(provider->lg_name, name) == 0)
                    return provider;
            }
        }
    }
    return nullptr;
}

// How the provider NAME is held, from a fresh copy of the tree. A tree that
// cannot be read, or that lacks the provider, cannot clear the device.
geom_holding holding_of(const char* name) {
    gmesh mesh;
    if (geom_gettree(&mesh) != 0)
        return geom_holding::held;
    const gprovider* provider = provider_named(mesh, name);
    const geom_holding holding = provider == nullptr || provider->lg_mode == nullptr
                                     ? geom_holding::held
                                     : judge_geom_mode(provider->lg_mode, own_opens);
    geom_deletetree(&mesh);
    return holding;
}

} // namespace

int check_not_in_use(const char*, const device_identity&, int kept_fd) {
    char name[MAXPATHLEN] = {};
    if (ioctl(kept_fd, DIOCGPROVIDERNAME, name) == -1)
        return probe_in_use; // no provider to look at: refuse rather than guess
    geom_holding holding = holding_of(name);
    if (holding == geom_holding::reads_only) {
        sleep(1); // tasting holds a read open for a moment: look once more
        holding = holding_of(name);
    }
    return holding == geom_holding::free ? probe_ok : probe_in_use;
}
