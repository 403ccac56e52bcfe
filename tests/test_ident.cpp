// Message output and the device identity file.
#include "ident.h"
#include "log.h"
#include "support/capture.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>

namespace {
int strdup_fails_in = 0; // the n-th following copy fails; 0: none
} // namespace

extern "C" {
char *__real_strdup(const char *text);
char *__wrap_strdup(const char *text) {
    if (strdup_fails_in > 0 && --strdup_fails_in == 0)
        return errno = ENOMEM, nullptr;
    return __real_strdup(text);
}
}

namespace {

TEST(Log, LevelsNewlineAndCut) {
    const std::string long_text = std::string(1022, 'x') + "yz";
    const std::string cut = long_text.substr(0, 1023) + "\n";
    verbosity = 2;
    output_capture capture;
    log_printf(2, "two");
    log_printf(3, "three");
    log_printf(0, "%s", long_text.c_str());
    error("%s", long_text.c_str());
    verbosity = 0;
    EXPECT_EQ(capture.out(), "two\n" + cut);
    EXPECT_EQ(capture.err(), cut);
}

TEST(ReadHwIdent, Table) {
    const std::string unable = "Unable to determine product type and/or HW revision.\n";
    const std::string no_memory = "malloc: Cannot allocate memory\n";
    struct row {
        std::string content; // "-": no file
        int fail_copy;       // this copy runs out of memory; the record holds "old" values
        std::string product, hw_build, err;
    } rows[] = {
        {"product A\nkernel 2.6\nhw-build B2\nboot 1.4\nproduct PX100\nx", 0, "PX100", "B2", ""},
        {"product PX100\n", 0, "PX100", "-", unable},
        {"Product A\nhw-build 1\n", 0, "-", "1", unable},
        {"product\nX\nhw-build\tY", 0, "X", "Y", ""},
        {"product " + std::string(200, 'v') + " " + std::string(99, 'k') + " o hw-build B", 0,
         std::string(63, 'v'), "B", ""},
        {"product A\nhw-build B\n", 1, "-", "-", no_memory},
        {"product A\nhw-build B\n", 2, "-", "-", no_memory},
        {"-", 0, "-", "-", ": No such file or directory\n"},
    };
    for (const row &r : rows) {
        temp_dir dir;
        std::string path = dir.path() + "/component_version";
        if (r.content != "-")
            dir.write("component_version", r.content);
        hw_ident ident = {};
        if (r.fail_copy)
            ident = {strdup("old"), strdup("old")};
        output_capture capture;
        strdup_fails_in = r.fail_copy;
        int result = read_hw_ident_from(&ident, path.c_str());
        strdup_fails_in = 0;
        capture.stop();
        EXPECT_EQ(result, r.err.empty() ? 0 : -1) << r.content;
        EXPECT_EQ(ident.product ? ident.product : "-", r.product) << r.content;
        EXPECT_EQ(ident.hw_build ? ident.hw_build : "-", r.hw_build) << r.content;
        EXPECT_EQ(capture.err(), (r.content == "-" ? path : "") + r.err) << r.content;
        free(ident.product);
        free(ident.hw_build);
    }
}

} // namespace
