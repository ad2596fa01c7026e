#include "core/audio_format.h"
#include "core/error.h"
#include "core/property_table.h"
#include "core/text.h"
#include <gtest/gtest.h>
#include <string>

TEST(Error, MessagesOfTheTable) {
    EXPECT_STREQ(kyErrorMessage(5), "No error");
    EXPECT_STREQ(kyErrorMessage(0), "No error");
    EXPECT_STREQ(kyErrorMessage(KYERR_INVALID_PARAMETER), "Invalid parameter");
    EXPECT_STREQ(kyErrorMessage(KYERR_CANCELLED), "Operation cancelled");
    EXPECT_STREQ(kyErrorMessage(KYERR_MISSING_COMPONENT), "Missing required component");
    EXPECT_STREQ(kyErrorMessage(static_cast<kyError>(0x8004020Fu)), "Unknown error");
    EXPECT_STREQ(kyErrorMessage(static_cast<kyError>(0x80040212u)), "Unknown error");
    EXPECT_STREQ(kyErrorMessage(-1), "Unknown error");
}

TEST(AudioFormat, DefaultMasks) {
    EXPECT_EQ(kyDefaultChannelMask(1), 0x4u);
    EXPECT_EQ(kyDefaultChannelMask(2), 0x3u);
    EXPECT_EQ(kyDefaultChannelMask(6), 0x3Fu);
    EXPECT_EQ(kyDefaultChannelMask(7), 0x70Fu);
    EXPECT_EQ(kyDefaultChannelMask(10), 0x6FFu);
    EXPECT_EQ(kyDefaultChannelMask(11), 0x7FFu);
}

TEST(PropertyTable, SingleByteSetterTrimsAndConverts) {
    kyPropertyTable t;
    t.setA(3, "  word  ");
    EXPECT_STREQ(t.getA(3), "word");
    t.setA(3, " \t  ");
    EXPECT_EQ(t.getA(3), nullptr);
    // 0x80 is the euro sign in Windows-1252; 0x81 stays itself; 0xE9 is e-acute.
    t.setA(5, "\x80\x81\xE9");
    EXPECT_EQ(std::u16string(t.getW(5)), std::u16string(u"\u20AC\u0081\u00E9"));
    EXPECT_STREQ(t.getUtf8(5), "\xE2\x82\xAC\xC2\x81\xC3\xA9");
    EXPECT_EQ(t.length(5), 3u);
    // Out-of-range slots are ignored and read as empty.
    t.setA(KY_SOURCE_PROPERTY_SLOTS, "x");
    EXPECT_EQ(t.getA(KY_SOURCE_PROPERTY_SLOTS), nullptr);
    EXPECT_EQ(t.getW(99), nullptr);
}

TEST(PropertyTable, Utf8SetterValidatesAndHandsOver) {
    kyPropertyTable t;
    t.setUtf8(3, "  caf\xC3\xA9  ");
    EXPECT_STREQ(t.getUtf8(3), "  caf\xC3\xA9  "); // valid UTF-8 stays untrimmed
    EXPECT_STREQ(t.getA(3), "  caf\xE9  ");
    // Invalid UTF-8 (a lone 0xE9) is single-byte text and gets trimmed.
    t.setUtf8(3, " caf\xE9 ");
    EXPECT_STREQ(t.getA(3), "caf\xE9");
    EXPECT_STREQ(t.getUtf8(3), "caf\xC3\xA9");
    // A truncated sequence at the end is invalid too.
    t.setUtf8(3, "ab\xE2\x82", 4);
    EXPECT_STREQ(t.getA(3), "ab\xE2\x82");
    // Bytes starting with a UTF-16 mark go to the UTF-16 setter, little- or big-endian.
    const char le[] = {'\xFF', '\xFE', 'H', 0, 'i', 0};
    t.setUtf8(4, le, 6);
    EXPECT_EQ(std::u16string(t.getW(4)), u"Hi");
    const char be[] = {'\xFE', '\xFF', 0, 'H', 0, 'i'};
    t.setUtf8(4, be, 6);
    EXPECT_EQ(std::u16string(t.getW(4)), u"Hi");
}

TEST(PropertyTable, Utf16SetterMarksAndSurrogates) {
    kyPropertyTable t;
    const char16_t swapped[] = {0xFFFE, 0x4100, 0x4200, 0};
    t.setW(1, swapped);
    EXPECT_EQ(std::u16string(t.getW(1)), u"AB");
    EXPECT_EQ(t.length(1), 2u);
    const char16_t marked[] = {0xFEFF, u'x', 0};
    t.setW(1, marked);
    EXPECT_STREQ(t.getA(1), "x");
    // A surrogate pair is one code point: U+1F3B5 in UTF-8 and '?' in single-byte.
    t.setW(2, u"a\U0001F3B5b");
    EXPECT_STREQ(t.getUtf8(2), "a\xF0\x9F\x8E\xB5" "b");
    EXPECT_STREQ(t.getA(2), "a?b");
    // Setting again drops the cached encodings.
    t.setUtf8(2, "new");
    EXPECT_EQ(std::u16string(t.getW(2)), u"new");
}

TEST(Text, Transliteration) {
    kyPropertyTable t;
    t.setW(3, u"\u0100\u0101\u0110\u0111\u0141\u0142\u0152\u0153\u0160\u017E\u2018\u201C\u2022\u2026\u2039\u203A\u20AC\u02C6\u0416");
    EXPECT_STREQ(t.getA(3), "\xC4\xE4\xD0" "dLlAaSz'\"*.<>E^?");
    EXPECT_EQ(kyCodePointToSingleByte(0x14C), '\xD6');
    EXPECT_EQ(kyCodePointToSingleByte(0x150), '\xD5');
    EXPECT_EQ(kyCodePointToSingleByte(0x138), 'K');
    EXPECT_EQ(kyCodePointToSingleByte(0x149), 'n');
    EXPECT_EQ(kyCodePointToSingleByte(0x17F), '?');
    EXPECT_EQ(kyUtf8ToUtf16("\xF0\x9F\x8E\xB5"), std::u16string(u"\U0001F3B5"));
    EXPECT_EQ(kyUtf8ToUtf32("a\xC3\xA9\xF0\x9F\x8E\xB5"), std::u32string(U"a\u00E9\U0001F3B5"));
    EXPECT_FALSE(kyIsValidUtf8("\xC3"));
    EXPECT_FALSE(kyIsValidUtf8("\xC3\x41"));
    EXPECT_FALSE(kyIsValidUtf8("\xFF"));
    EXPECT_TRUE(kyIsValidUtf8("\xE2\x82\xAC"));
}
