#pragma once
// A CD source whose only drive is a virtual drive over a disc image, opened, for tests
// that read discs through the SCSI pass-through path.
#include "cd/dsk_reader.h"
#include "cd/virtual_drive.h"
#include <gtest/gtest.h>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

namespace kytest {

// Replaces every virtual drive by one over `image` with `faults`; real drives are kept out
// by searching `emptyDir` for devices. Null with a message when anything fails. Sleeps of
// the reader are skipped.
std::unique_ptr<kyDskReader> openVirtualReader(std::shared_ptr<kyDiscImage> image,
                                               const std::string& faults,
                                               const std::string& emptyDir, std::string& error);

// A test that reads a disc image through one virtual drive, in a scratch folder of its own.
class VirtualReaderTest : public ::testing::Test {
protected:
    explicit VirtualReaderTest(const std::string& name)
        : m_dir(std::filesystem::temp_directory_path() /
                ("dskr-" + name + "-" + std::to_string(::getpid()))) {}
    void SetUp() override { std::filesystem::create_directories(m_dir); }
    void TearDown() override {
        if (m_reader) m_reader->Disconnect();
        m_reader.reset();
        kyClearVirtualDrives();
        std::filesystem::remove_all(m_dir);
    }
    void Use(std::shared_ptr<kyDiscImage> image, const std::string& faults) {
        if (m_reader) m_reader->Disconnect();
        m_reader.reset();
        std::string error;
        m_reader = openVirtualReader(std::move(image), faults, m_dir.string(), error);
        ASSERT_TRUE(m_reader) << error;
    }
    std::filesystem::path m_dir;
    std::unique_ptr<kyDskReader> m_reader;
};

} // namespace kytest
