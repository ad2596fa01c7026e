// The Linux layers under the drive-access methods, on a machine without drives: nodes that
// are not SCSI devices fail cleanly and say why.
#include "platform/cdio_library.h"
#include "platform/optical_drives.h"
#include "platform/scsi_transport.h"
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

TEST(ScsiTransport, NodesThatAreNotDevices) {
    std::string reason;
    EXPECT_EQ(kySgIoTransport::Open("/nonexistent/sr0", reason), nullptr);
    EXPECT_FALSE(reason.empty());

    char name[] = "/tmp/kysgioXXXXXX";
    const std::string dir = mkdtemp(name);
    const std::string file = dir + "/sr0";
    std::ofstream(file) << "plain file";
    auto transport = kySgIoTransport::Open(file, reason);
    ASSERT_NE(transport, nullptr) << reason;
    const uint8_t inquiry[6] = {0x12, 0, 0, 0, 36, 0};
    uint8_t answer[36] = {};
    EXPECT_FALSE(transport->Execute(inquiry, sizeof inquiry, answer, sizeof answer, true, 2000));
    EXPECT_FALSE(transport->Execute(inquiry, 0, answer, sizeof answer, true, 2000));
    EXPECT_FALSE(transport->Execute(inquiry, 17, answer, sizeof answer, true, 2000));
    uint8_t host, target, lun;
    EXPECT_FALSE(kyScsiAddress(transport->Descriptor(), host, target, lun));
    EXPECT_EQ(kyLargestTransfer(transport->Descriptor()), 65536u);
    transport.reset();

    std::vector<kySkippedDevice> skipped;
    const auto paths = kyOpticalDevicePaths({dir, dir + "/no-info"}, skipped);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0], file);
    EXPECT_TRUE(skipped.empty());
    std::filesystem::remove_all(dir);
}

TEST(CdioLibrary, LoadsWhenInstalled) {
    const kyCdioLibrary* lib = kyCdioLibrary::Get();
    if (!lib) GTEST_SKIP() << "libcdio.so.19 is not installed";
    EXPECT_EQ(lib, kyCdioLibrary::Get()); // resolved once
    EXPECT_NE(lib->runCmd, nullptr);
    // No device behind it: the transport refuses rather than crashing.
    kyCdioTransport none(lib, nullptr);
    const uint8_t testUnitReady[6] = {};
    EXPECT_FALSE(none.Execute(testUnitReady, sizeof testUnitReady, nullptr, 0, false, 2000));
}

} // namespace
