#include "ident.h"
#include "support/capture.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string>
#include <sys/stat.h>

namespace {

struct ident_record {
    hw_ident ident = {};
    ~ident_record() {
        free(ident.product);
        free(ident.hw_build);
    }
};

struct read_result {
    int result;
    std::string product, hw_build, err;
};

read_result read_from(const std::string &contents) {
    temp_dir dir;
    std::string path = dir.write("component_version", contents);
    ident_record record;
    output_capture capture;
    int result = read_hw_ident_from(&record.ident, path.c_str());
    capture.stop();
    return {result, record.ident.product ? record.ident.product : "(none)",
            record.ident.hw_build ? record.ident.hw_build : "(none)", capture.err()};
}

const char unable[] = "Unable to determine product type and/or HW revision.\n";

TEST(ReadHwIdent, PairsInAnyOrderAmongOtherKeys) {
    auto r = read_from("kernel 2.6.37\nhw-build B2\nboot 1.4\nproduct PX100\nextra x\n");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.product, "PX100");
    EXPECT_EQ(r.hw_build, "B2");
    EXPECT_EQ(r.err, "");
}

TEST(ReadHwIdent, LastOccurrenceWins) {
    auto r = read_from("product A\nhw-build 1\nproduct B\n");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.product, "B");
}

TEST(ReadHwIdent, MissingBuildKeepsProductAndReports) {
    auto r = read_from("product PX100\n");
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.product, "PX100");
    EXPECT_EQ(r.hw_build, "(none)");
    EXPECT_EQ(r.err, unable);
}

TEST(ReadHwIdent, EmptyFile) {
    auto r = read_from("");
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.err, unable);
}

TEST(ReadHwIdent, KeysAreCaseSensitive) {
    auto r = read_from("Product A\nhw-build 1\n");
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.product, "(none)");
}

TEST(ReadHwIdent, WordsArePairedAcrossLines) {
    // Three words on the first line shift every pair after it.
    auto r = read_from("a b c\nproduct X\nhw-build Y\n");
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.product, "(none)");
    EXPECT_EQ(r.hw_build, "(none)");
    // One key and its value on separate lines still pair.
    auto split = read_from("product\nX\nhw-build\tY");
    EXPECT_EQ(split.result, 0);
    EXPECT_EQ(split.product, "X");
    EXPECT_EQ(split.hw_build, "Y");
}

TEST(ReadHwIdent, LastKeyWithoutValueIsIgnored) {
    auto r = read_from("product A\nhw-build");
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.product, "A");
}

TEST(ReadHwIdent, OverlongWordsAreCutAndKeepThePairing) {
    std::string long_value(200, 'v');
    auto r =
        read_from("product " + long_value + "\n" + std::string(100, 'k') + " other\nhw-build B\n");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.product, std::string(63, 'v'));
    EXPECT_EQ(r.hw_build, "B");
}

TEST(ReadHwIdent, MissingFileNamesThePath) {
    temp_dir dir;
    std::string path = dir.path() + "/component_version";
    ident_record record;
    output_capture capture;
    EXPECT_EQ(read_hw_ident_from(&record.ident, path.c_str()), -1);
    EXPECT_EQ(capture.err(), path + ": No such file or directory\n");
    EXPECT_EQ(record.ident.product, nullptr);
}

struct override_result {
    int result;
    std::string product, hw_build;
};

override_result split(const char *argument) {
    char *product = nullptr;
    char *hw_build = nullptr;
    int result = parse_hw_override(argument, &product, &hw_build);
    override_result r{result, product ? product : "(none)", hw_build ? hw_build : "(none)"};
    free(product);
    free(hw_build);
    return r;
}

TEST(ParseHwOverride, SplitsAtColons) {
    auto two = split("PX100:B2");
    EXPECT_EQ(two.result, 0);
    EXPECT_EQ(two.product, "PX100");
    EXPECT_EQ(two.hw_build, "B2");

    auto three = split("PX100:B2:extra");
    EXPECT_EQ(three.product, "PX100");
    EXPECT_EQ(three.hw_build, "B2");

    auto leading = split("::PX100::B2");
    EXPECT_EQ(leading.product, "PX100");
    EXPECT_EQ(leading.hw_build, "B2");
}

TEST(ParseHwOverride, ProductOnly) {
    for (const char *argument : {"PX100", "PX100:", "PX100:::"}) {
        auto r = split(argument);
        EXPECT_EQ(r.result, 0) << argument;
        EXPECT_EQ(r.product, "PX100") << argument;
        EXPECT_EQ(r.hw_build, "(none)") << argument;
    }
}

TEST(ParseHwOverride, NoProductStoresNothing) {
    for (const char *argument : {"", ":", ":::"}) {
        auto r = split(argument);
        EXPECT_LT(r.result, 0) << argument;
        EXPECT_EQ(r.product, "(none)") << argument;
        EXPECT_EQ(r.hw_build, "(none)") << argument;
    }
}

TEST(ParseHwOverride, KeepsEarlierBuildWithoutSecondPiece) {
    char *product = nullptr;
    char *hw_build = nullptr;
    ASSERT_EQ(parse_hw_override("A:B", &product, &hw_build), 0);
    char *first_build = hw_build;
    ASSERT_EQ(parse_hw_override("C", &product, &hw_build), 0);
    EXPECT_STREQ(product, "C");
    EXPECT_EQ(hw_build, first_build);
    EXPECT_STREQ(hw_build, "B");
    free(product);
    free(hw_build);
}

} // namespace
