// SPDX-License-Identifier: MIT
// The three device probes called in this process on real things: scratch
// loop devices of 512- and 4096-byte sectors, an empty one, a symlink,
// files, folders and character devices. After every call, in every outcome,
// no descriptor may be left open.
#include "device/probes.h"

#include "support/process.h"
#include "support/reexec.h"
#include "support/devices.h"
#include "support/io_util.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Entries of /proc/self/fd (the listing's own descriptor among them, the
// same at every count).
int open_descriptors() {
    DIR* listing = opendir("/proc/self/fd");
    if (listing == nullptr)
        io_fail("cannot list", "/proc/self/fd");
    int count = 0;
    while (readdir(listing) != nullptr)
        ++count;
    closedir(listing);
    return count;
}

struct sector_query {
    int result;
    int error; // errno right after the call
    uint32_t size;
};

struct size_query {
    int result;
    int error; // errno right after the call
    int64_t size;
};

// The device the path leads to now, as start-up records it; a zero identity
// when there is nothing there.
device_identity identity_at(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? identity_of(info) : device_identity{};
}

constexpr uint32_t untouched_sector = 77777;
constexpr int64_t untouched_size = 123456789;

// Each call checks that the probe closed what it opened.
int block_device(const std::string& path, int* error) {
    const int before = open_descriptors();
    errno = 0;
    device_identity identity;
    const int result = check_block_device(path.c_str(), &identity);
    *error = errno;
    EXPECT_EQ(open_descriptors(), before) << "check_block_device left a descriptor open";
    return result;
}

sector_query sector_size_of(const std::string& path) {
    const int before = open_descriptors();
    sector_query got{0, 0, untouched_sector};
    errno = 0;
    got.result = query_sector_size(path.c_str(), identity_at(path), &got.size);
    got.error = errno;
    EXPECT_EQ(open_descriptors(), before) << "query_sector_size left a descriptor open";
    return got;
}

size_query disk_size_of(const std::string& path) {
    const int before = open_descriptors();
    size_query got{0, 0, untouched_size};
    errno = 0;
    got.result = query_disk_size(path.c_str(), identity_at(path), &got.size);
    got.error = errno;
    EXPECT_EQ(open_descriptors(), before) << "query_disk_size left a descriptor open";
    return got;
}

// ---- loop devices ----------------------------------------------------------

struct device_case {
    unsigned sector;
    std::uint64_t image_bytes;
    int64_t disk_size; // what the query must give
};

void PrintTo(const device_case& c, std::ostream* out) {
    *out << c.image_bytes << " bytes, " << c.sector << "-byte sectors";
}

class ProbesOnLoop : public testing::TestWithParam<device_case> {};

TEST_P(ProbesOnLoop, GiveSectorSizeAndDiskSize) {
    REQUIRE_LOOP_DEVICES();
    const device_case& c = GetParam();
    scratch_device disk(c.image_bytes, c.sector);
    int error = 0;
    EXPECT_EQ(block_device(disk.path(), &error), 0);
    const sector_query sector = sector_size_of(disk.path());
    EXPECT_EQ(sector.result, 0);
    EXPECT_EQ(sector.size, c.sector);
    const size_query size = disk_size_of(disk.path());
    EXPECT_EQ(size.result, 0);
    EXPECT_EQ(size.size, c.disk_size);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ProbesOnLoop,
                         testing::Values(device_case{512, 512, 512},
                                         device_case{512, 1 << 20, 1 << 20},
                                         device_case{512, (1 << 20) + 100, 1 << 20},
                                         device_case{512, 16 << 20, 16 << 20},
                                         device_case{4096, 512, 512}, device_case{4096, 4096, 4096},
                                         device_case{4096, 1 << 20, 1 << 20},
                                         device_case{4096, (1 << 20) + 512, (1 << 20) + 512}));

class EmptyLoop : public testing::TestWithParam<unsigned> {};

// A device of 0 bytes has no last byte: the seek before its start fails.
TEST_P(EmptyLoop, HasNoDiskSize) {
    REQUIRE_LOOP_DEVICES();
    scratch_device disk(0, GetParam());
    int error = 0;
    EXPECT_EQ(block_device(disk.path(), &error), 0);
    const sector_query sector = sector_size_of(disk.path());
    EXPECT_EQ(sector.result, 0);
    EXPECT_EQ(sector.size, GetParam());
    const size_query size = disk_size_of(disk.path());
    EXPECT_EQ(size.result, 4);
    EXPECT_EQ(size.size, -1);
    EXPECT_EQ(size.error, EINVAL) << std::strerror(size.error);
}

INSTANTIATE_TEST_SUITE_P(Sectors, EmptyLoop, testing::Values(512u, 4096u));

TEST(ProbesThroughSymlink, FollowTheLink) {
    REQUIRE_LOOP_DEVICES();
    scratch_device disk(1 << 20, 4096);
    const std::string link = scratch_name("link");
    ASSERT_EQ(symlink(disk.path().c_str(), link.c_str()), 0) << std::strerror(errno);
    int error = 0;
    EXPECT_EQ(block_device(link, &error), 0);
    const sector_query sector = sector_size_of(link);
    EXPECT_EQ(sector.result, 0);
    EXPECT_EQ(sector.size, 4096u);
    const size_query size = disk_size_of(link);
    EXPECT_EQ(size.result, 0);
    EXPECT_EQ(size.size, 1 << 20);
    unlink(link.c_str());
}

// Takes the effective user and group 65534 for as long as it lives.
class as_nobody {
  public:
    as_nobody() {
        if (setegid(65534) != 0 || seteuid(65534) != 0)
            io_fail("cannot become", "uid 65534");
    }
    ~as_nobody() {
        if (seteuid(0) != 0 || setegid(0) != 0)
            std::abort(); // the rest of this process would run with the wrong rights
    }
    as_nobody(const as_nobody&) = delete;
    as_nobody& operator=(const as_nobody&) = delete;
};

// /proc/self/fd is not listable while the effective user is another: the
// descriptors are counted before and after, as root.
TEST(ProbesAsNobody, SeeTheDeviceButCannotOpenIt) {
    REQUIRE_LOOP_DEVICES();
    scratch_device disk(1 << 20, 512);
    const int before = open_descriptors();
    int block = -1;
    sector_query sector{0, 0, untouched_sector};
    size_query size{0, 0, untouched_size};
    {
        const as_nobody nobody;
        device_identity identity;
        block = check_block_device(disk.path().c_str(), &identity);
        errno = 0;
        sector.result = query_sector_size(disk.path().c_str(), identity, &sector.size);
        sector.error = errno;
        errno = 0;
        size.result = query_disk_size(disk.path().c_str(), identity, &size.size);
        size.error = errno;
    }
    EXPECT_EQ(open_descriptors(), before) << "a probe left a descriptor open";
    EXPECT_EQ(block, 0);
    EXPECT_EQ(sector.result, 2);
    EXPECT_EQ(sector.error, EACCES) << std::strerror(sector.error);
    EXPECT_EQ(sector.size, untouched_sector);
    EXPECT_EQ(size.result, 2);
    EXPECT_EQ(size.error, EACCES) << std::strerror(size.error);
    EXPECT_EQ(size.size, untouched_size) << "a failed open must leave disk_size alone";
}

// ---- things that are no block device (no root needed) ----------------------------

// Which paths are no block device, and the message for each, the program
// tests show (DevicePath); here what only the queries show.

TEST(QuerySectorSize, CharacterDeviceHasNoSectorSize) {
    const sector_query got = sector_size_of("/dev/null");
    EXPECT_EQ(got.result, 3);
    EXPECT_EQ(got.error, ENOTTY) << std::strerror(got.error);
}

TEST(QuerySectorSize, RegularFileHasNoSectorSize) {
    const sector_query got = sector_size_of(platterfell_binary());
    EXPECT_EQ(got.result, 3);
    EXPECT_EQ(got.error, ENOTTY) << std::strerror(got.error);
}

TEST(QuerySectorSize, MissingPathCannotBeOpened) {
    const sector_query got = sector_size_of("/nonexistent-platterfell-dir/disk");
    EXPECT_EQ(got.result, 2);
    EXPECT_EQ(got.error, ENOENT) << std::strerror(got.error);
    EXPECT_EQ(got.size, untouched_sector);
}

TEST(QueryDiskSize, MissingPathCannotBeOpened) {
    const size_query got = disk_size_of("/nonexistent-platterfell-dir/disk");
    EXPECT_EQ(got.result, 2);
    EXPECT_EQ(got.error, ENOENT) << std::strerror(got.error);
    EXPECT_EQ(got.size, untouched_size);
}

// A path that no longer leads to the device checked first is refused before
// anything is asked of it.
TEST(Queries, RefuseAnotherDeviceThanTheOneChecked) {
    const device_identity zero = identity_at("/dev/zero");
    uint32_t sector = untouched_sector;
    int64_t size = untouched_size;
    EXPECT_EQ(query_sector_size("/dev/null", zero, &sector), 7);
    EXPECT_EQ(query_disk_size("/dev/null", zero, &size), 7);
    EXPECT_EQ(sector, untouched_sector);
    EXPECT_EQ(size, untouched_size);
}

// The seek asks nothing about the file type: /dev/null seeks to 0.
TEST(QueryDiskSize, NullDeviceSeeksToZero) {
    const size_query got = disk_size_of("/dev/null");
    EXPECT_EQ(got.result, 0);
    EXPECT_EQ(got.size, 1);
}

// ---- errno after a close that fails ----------------------------------------------
//
// A failed close sets errno; the probes must report the error of the call that
// failed before it. No real close fails on demand, so the query runs in a
// child of this test binary with the preload library failing every close;
// ARGUMENT is "sector PATH" or "disk PATH", and the child prints "RESULT ERRNO VALUE".

int probe_under_failing_close(const std::string& text) {
    const std::string path = text.substr(text.find(' ') + 1);
    char line[128];
    if (text.compare(0, 7, "sector ") == 0) {
        uint32_t size = untouched_sector;
        errno = 0;
        const int result = query_sector_size(path.c_str(), identity_at(path), &size);
        const int error = errno;
        std::snprintf(line, sizeof line, "%d %d %u\n", result, error, size);
    } else {
        int64_t size = untouched_size;
        errno = 0;
        const int result = query_disk_size(path.c_str(), identity_at(path), &size);
        const int error = errno;
        std::snprintf(line, sizeof line, "%d %d %lld\n", result, error,
                      static_cast<long long>(size));
    }
    return write(1, line, std::strlen(line)) < 0 ? 1 : 0;
}

const bool registered = reexec_register("probe-under-failing-close", probe_under_failing_close);

class FailingClose : public testing::Test {
  protected:
    void SetUp() override {
        (void)registered;
        ASSERT_EQ(access(preload_library(), R_OK), 0)
            << "preload library missing: " << preload_library();
    }

    // "RESULT ERRNO VALUE" of the query, with every close failing with EIO.
    std::string run_query(const std::string& request) {
        const std::string report = scratch_name("fail-report", ".txt");
        child_options options;
        options.env = {std::string("LD_PRELOAD=") + preload_library(), "FAIL_CALL=close",
                       "FAIL_COUNT=1000000", "FAIL_ERRNO=5", "FAIL_REPORT=" + report};
        options.timeout_seconds = 30;
        const child_result result = reexec_run("probe-under-failing-close", request, options);
        EXPECT_EQ(result.exit_code, 0) << describe_exit(result);
        EXPECT_NE(io_read_text_or_empty(report).find("close "), std::string::npos)
            << "no close was made to fail";
        unlink(report.c_str());
        return result.out;
    }
};

TEST_F(FailingClose, SectorSizeErrorSurvivesIt) {
    EXPECT_EQ(run_query("sector /dev/null"), "3 25 77777\n"); // ENOTTY
}

TEST_F(FailingClose, DiskSizeErrorSurvivesIt) {
    REQUIRE_LOOP_DEVICES();
    scratch_device disk(0, 512);
    EXPECT_EQ(run_query("disk " + disk.path()), "4 22 -1\n"); // EINVAL
}

// The result of close is not looked at: a query that worked still works.
TEST_F(FailingClose, DoesNotFailAQueryThatWorked) {
    REQUIRE_LOOP_DEVICES();
    scratch_device disk(1 << 20, 4096);
    const std::string sector = run_query("sector " + disk.path());
    EXPECT_EQ(sector.substr(0, 2), "0 ");
    EXPECT_EQ(sector.substr(sector.rfind(' ')), " 4096\n");
    const std::string size = run_query("disk " + disk.path());
    EXPECT_EQ(size.substr(0, 2), "0 ");
    EXPECT_EQ(size.substr(size.rfind(' ')), " 1048576\n");
}

} // namespace
