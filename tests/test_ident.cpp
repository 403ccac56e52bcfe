// Message output and the device identity file.
#include "ident.h"
#include "log.h"
#include "support/capture.h"
#include "support/memory.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

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
    struct row {
        const char *name;
        std::string content; // "-": no file
        std::string product, hw_build, err;
    } rows[] = {
        {"last product counts", "product A\nkernel 2.6\nhw-build B2\nboot 1.4\nproduct PX100\nx",
         "PX100", "B2", ""},
        {"no HW build", "product PX100\n", "PX100", "-", unable},
        {"keys are case-sensitive", "Product A\nhw-build 1\n", "-", "1", unable},
        {"any blank separates", "product\nX\nhw-build\tY", "X", "Y", ""},
        {"long words cut",
         "product " + std::string(200, 'v') + " " + std::string(99, 'k') + " o hw-build B",
         std::string(63, 'v'), "B", ""},
        {"no file", "-", "-", "-", ": No such file or directory\n"},
    };
    temp_dir dir;
    std::string path = dir.path() + "/component_version";
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        unlink(path.c_str());
        if (r.content != "-")
            dir.write("component_version", r.content);
        hw_ident ident = {};
        output_capture capture;
        int result = read_hw_ident_from(&ident, path.c_str());
        capture.stop();
        EXPECT_EQ(result, r.err.empty() ? 0 : -1);
        EXPECT_EQ(ident.product ? ident.product : "-", r.product);
        EXPECT_EQ(ident.hw_build ? ident.hw_build : "-", r.hw_build);
        EXPECT_EQ(capture.err(), (r.content == "-" ? path : "") + r.err);
        free(ident.product);
        free(ident.hw_build);
    }
    // Wherever memory runs out, neither half of an identity stays, nor one read before.
    dir.write("component_version", "product A\nhw-build B\n");
    for (long granted = 0, refused = 1; refused; granted++) {
        SCOPED_TRACE("copies granted: " + std::to_string(granted));
        hw_ident ident = {strdup("old"), strdup("old")};
        output_capture capture;
        memory_shortage(granted);
        int result = read_hw_ident_from(&ident, path.c_str());
        refused = memory_restore();
        EXPECT_EQ(result, refused ? -1 : 0);
        EXPECT_EQ(capture.err(), refused ? "malloc: Cannot allocate memory\n" : "");
        EXPECT_EQ(!ident.product && !ident.hw_build, refused > 0);
        free(ident.product);
        free(ident.hw_build);
    }
}

} // namespace
