// SPDX-License-Identifier: MIT
#pragma once

#include "support/device_gate.h"
#include "support/loop_device.h"

#include <cstdint>
#include <string>
#include <vector>

// A loop device over a sparse scratch image of its own in SCRATCH_DIR.
// Construction makes the image and attaches it; destruction detaches the
// device and removes the image, also when the test failed or threw. Guard
// tests with REQUIRE_LOOP_DEVICES() first. Errors throw std::runtime_error.
//
//     REQUIRE_LOOP_DEVICES();
//     scratch_device disk(1 << 20, 4096);
//     disk.fill(0xAA);
//     ... run the program on disk.path() ...
//     EXPECT_EQ(disk.read_all(), expected);
class scratch_device {
  public:
    struct options {
        unsigned sector_size = 512; // logical block size of the device: 512 or 4096
        bool direct_io = false;     // loop direct I/O onto the image (LO_FLAGS_DIRECT_IO)
    };

    // SIZE bytes of image (0 and sizes that are not a multiple of the sector
    // size are fine; the kernel rounds the device down to 512-byte units).
    explicit scratch_device(std::uint64_t size, unsigned sector_size = 512);
    scratch_device(std::uint64_t size, const options& choices);
    ~scratch_device() = default;
    scratch_device(const scratch_device&) = delete;
    scratch_device& operator=(const scratch_device&) = delete;

    // "/dev/loopN".
    const std::string& path() const { return loop_.path(); }
    // The backing image.
    const std::string& image_path() const { return image_.path; }
    // The image size asked for, in bytes.
    std::uint64_t size() const { return image_.size; }
    // The size the kernel gives the device (BLKGETSIZE64), in bytes.
    std::uint64_t device_size() const;
    unsigned sector_size() const { return sector_size_; }
    // Whether the loop really does direct I/O onto the image.
    bool direct_io_active() const { return loop_.direct_io_active(); }
    // The attachment itself (detach() early, attached()).
    loop_device& loop() { return loop_; }

    // Every byte the device returns, read through path() with O_DIRECT.
    std::vector<unsigned char> read_all() const;
    // Writes BYTE over the whole device with O_DIRECT, after checking that
    // the device is still ours.
    void fill(unsigned char byte);
    // The image file's bytes, read directly (not through the device).
    std::vector<unsigned char> read_image() const;
    // Writes BYTES into the image file at OFFSET (not through the device);
    // readers of path() see them with O_DIRECT.
    void write_image(std::uint64_t offset, const std::vector<unsigned char>& bytes);

  private:
    struct image_file {
        explicit image_file(std::uint64_t bytes);
        ~image_file();
        image_file(const image_file&) = delete;
        image_file& operator=(const image_file&) = delete;
        std::string path;
        std::uint64_t size;
    };

    unsigned sector_size_;
    image_file image_;
    loop_device loop_;
};

// Where scratch images and mount points live (created on first use).
const std::string& scratch_dir();

// A new unique path in scratch_dir(): "<dir>/<stem>-<pid>-<counter><suffix>".
std::string scratch_name(const std::string& stem, const std::string& suffix = "");
