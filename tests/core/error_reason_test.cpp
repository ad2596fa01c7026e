// The system's reason beside a result code: noted where a file operation fails, shown
// with the code's message, and never shown with another code.
#include "core/error.h"
#include "formats/format_catalog.h"
#include "formats/writer_filter.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

TEST(ErrorReason, TheReasonGoesWithItsCodeOnItsThread) {
    kySetErrorReason(KYERR_CREATE_FILE, EACCES);
    EXPECT_EQ(kyErrorText(KYERR_CREATE_FILE), "Couldn't create file: Permission denied");
    // Another code has no reason; the message stays as it is.
    EXPECT_EQ(kyErrorText(KYERR_WRITE_FILE), "Couldn't write to file");
    EXPECT_EQ(kyErrorText(KY_OK), "No error");
    std::string elsewhere;
    std::thread([&] { elsewhere = kyErrorText(KYERR_CREATE_FILE); }).join();
    EXPECT_EQ(elsewhere, "Couldn't create file");
    kySetErrorReason(KYERR_WRITE_FILE, ENOSPC);
    EXPECT_EQ(kyErrorText(KYERR_WRITE_FILE), "Couldn't write to file: No space left on device");
    EXPECT_EQ(kyErrorText(KYERR_CREATE_FILE), "Couldn't create file");
    kySetErrorReason(KYERR_WRITE_FILE, 0);
    EXPECT_EQ(kyErrorReason(KYERR_WRITE_FILE), "");
}

TEST(ErrorReason, FileLayerNotesWhyItFailed) {
    const kyFormatCatalog& catalog = kyFormatCatalog::Instance();
    kyWriterFilter* writer = nullptr;
    EXPECT_EQ(catalog.CreateWriter(writer, "/nonexistent-dskr-dir/x.wav", "PCM 16-bit", -2),
              KYERR_CREATE_FILE);
    EXPECT_EQ(kyErrorText(KYERR_CREATE_FILE), "Couldn't create file: No such file or directory");
    kyReaderFilter* reader = nullptr;
    EXPECT_EQ(catalog.OpenReader(reader, "/nonexistent-dskr-dir/x.wav", -2), KYERR_OPEN_FILE);
    EXPECT_EQ(kyErrorText(KYERR_OPEN_FILE), "Couldn't open file: No such file or directory");
}
