// velkan-pack: builds VELKAN firmware containers on the host, and lists,
// verifies, checks and takes apart what one holds with the flasher's own
// reader, data access and component selection.
//
// Exit status: 0 on success; 1 when a file cannot be read or written, the
// container is malformed or damaged, or a component is missing or does not
// fit; 2 on a usage error.
#include "pack.h"

#include <CLI/CLI.hpp>

#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

namespace {

const std::map<std::string, std::string> synopses = {
    {"", "velkan-pack COMMAND [ARGS]... (create, list, verify, check, extract)"},
    {"create", "velkan-pack create OUT [--release VERSION] IMAGE-DEF..."},
    {"list", "velkan-pack list FILE [-v...] [--json]"},
    {"verify", "velkan-pack verify FILE"},
    {"check", "velkan-pack check FILE --product P --hw H [--only NAME]...\n"
              "           [--partition NAME=SIZE:ERASESIZE[:BADBLOCKS]]..."},
    {"extract", "velkan-pack extract FILE NAME OUT [--product P --hw H]"},
};

const char image_def_help[] =
    "IMAGE-DEF: "
    "NAME=FILE[,version=V][,valid=PRODUCT[:HW[:HW...]]]...[,partition=TYPE:MODE:SIZE]...";

// The subcommand the parser was working on, or empty.
std::string command_of(CLI::App &app) {
    for (CLI::App *sub : app.get_subcommands())
        return sub->get_name();
    return "";
}

[[noreturn]] void usage_exit(const std::string &command, const std::string &complaint) {
    pack::complain(complaint);
    fprintf(stderr, "Usage: %s\n", synopses.at(command).c_str());
    if (command == "create")
        fprintf(stderr, "%s\n", image_def_help);
    fprintf(stderr, "Run 'velkan-pack %s--help' for more.\n",
            command.empty() ? "" : (command + " ").c_str());
    exit(2);
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app("Builds VELKAN firmware containers and checks what one holds, with the "
                 "reader and component selection of velkan-flasher.",
                 "velkan-pack");
    app.set_version_flag("--version", "velkan-pack " VF_VERSION);
    app.require_subcommand(1);

    std::string file, out, name, release, product, hw;
    std::vector<std::string> texts, partitions, only;
    int extra_verbosity = 0;
    bool json = false;

    CLI::App *create_cmd = app.add_subcommand("create", "Write a container OUT from images");
    create_cmd->add_option("OUT", out, "Container to write (through a temporary file beside it)")
        ->required();
    create_cmd->add_option("--release", release, "Release version of the whole container")
        ->type_name("VERSION");
    create_cmd->add_option("IMAGE-DEF", texts, "One image, in container order")->required();
    create_cmd->footer(std::string(image_def_help) +
                       "\nA NAME other than kernel and initfs, white space in a code, and an "
                       "image that the flasher never picks for a device it names are warned "
                       "about.");

    CLI::App *list_cmd = app.add_subcommand("list", "Show what a container holds");
    list_cmd->add_option("FILE", file, "Container")->required();
    list_cmd->add_flag("-v,--verbose", extra_verbosity,
                       "Add offsets, sizes and checksums; twice: partition entries");
    list_cmd->add_flag("--json", json, "One JSON document instead (keys in docs/format.md)");

    CLI::App *verify_cmd =
        app.add_subcommand("verify", "Compare each image's checksum with its data and filler");
    verify_cmd->add_option("FILE", file, "Container")->required();

    CLI::App *check_cmd = app.add_subcommand(
        "check", "Which kernel and initfs a device gets, and whether they fit its partitions");
    check_cmd->add_option("FILE", file, "Container")->required();
    check_cmd->add_option("--product", product, "Product code of the device")->required();
    check_cmd->add_option("--hw", hw, "HW build of the device")->required();
    check_cmd->add_option("--only", only, "Check only this component")
        ->check(CLI::IsMember({"kernel", "initfs"}))
        ->type_name("NAME");
    check_cmd
        ->add_option("--partition", partitions,
                     "Partition geometry, sizes in bytes or with K, M, G")
        ->type_name("NAME=SIZE:ERASESIZE[:BADBLOCKS]");

    CLI::App *extract_cmd =
        app.add_subcommand("extract", "Write the bytes the flasher reads for an image");
    extract_cmd->add_option("FILE", file, "Container")->required();
    extract_cmd->add_option("NAME", name, "Component name")->required();
    extract_cmd->add_option("OUT", out, "File to write, - for standard output")->required();
    CLI::Option *p = extract_cmd->add_option("--product", product, "Select as for this product");
    CLI::Option *h = extract_cmd->add_option("--hw", hw, "and this HW build");
    p->needs(h);
    h->needs(p);

    const char *status = "Exit status: 0 on success, 2 on a usage error, 1 ";
    create_cmd->footer(create_cmd->get_footer() + "\n" + status +
                       "when an input cannot be read, OUT cannot be written or is an input.");
    list_cmd->footer(status + std::string("when FILE is not a container the flasher reads."));
    verify_cmd->footer(status +
                       std::string("when an image is damaged or FILE is not a container."));
    check_cmd->footer(status + std::string("when a component is missing or does not fit."));
    extract_cmd->footer(status + std::string("when there is no such image or a file fails."));
    app.footer("Exit status: 0 on success, 1 on a failure or a finding, 2 on a usage error.\n"
               "Run 'velkan-pack COMMAND --help' for a command's arguments.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        usage_exit(command_of(app), e.what());
    }
    try {
        if (*create_cmd)
            return pack::create(out, release, texts);
        if (*list_cmd)
            return pack::list(file, extra_verbosity, json);
        if (*verify_cmd)
            return pack::verify(file);
        if (*check_cmd)
            return pack::check(file, product, hw, only, partitions);
        return pack::extract(file, name, out, product, hw);
    } catch (const pack::usage_error &e) {
        usage_exit(command_of(app), e.what());
    } catch (const std::exception &e) {
        pack::complain(e.what());
        return 1;
    }
}
