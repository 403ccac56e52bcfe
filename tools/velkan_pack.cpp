// velkan-pack: builds VELKAN firmware containers on the host, and lists,
// verifies, checks and takes apart what one holds with the flasher's own
// reader, data access and component selection. This file is its command line.
//
// Exit status: 0 on success; 1 when a file cannot be read or written, the
// container is malformed or damaged, a component is missing or does not fit,
// or standard output cannot be written; 2 on a usage error.
#include "pack.h"

#include <CLI/CLI.hpp>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

namespace {

const std::map<std::string, std::string> synopses = {
    {"", "velkan-pack COMMAND [ARGS]... (create, list, verify, check, extract, manifest, sign)"},
    {"create", "velkan-pack create OUT [--strict] [--release VERSION] [--signable | --sign KEY]\n"
               "           IMAGE-DEF..."},
    {"list", "velkan-pack list FILE [-v] [--json]"},
    {"verify", "velkan-pack verify FILE [--json] [--key PUBKEY]"},
    {"manifest", "velkan-pack manifest FILE OUT"},
    {"sign", "velkan-pack sign FILE (--signature SIGFILE | --key SECKEY)"},
    {"check", "velkan-pack check FILE (--product P --hw H | --all) [--only NAME]...\n"
              "           [--partition NAME=SIZE:ERASESIZE[:BADBLOCKS[:PAGESIZE]]]... [--json]"},
    {"extract", "velkan-pack extract FILE NAME OUT [--product P --hw H]"},
};

const char image_def_help[] =
    "IMAGE-DEF: "
    "NAME=FILE[,version=V][,valid=PRODUCT[:HW[:HW...]]]...[,partition=TYPE:MODE:SIZE]...";

const char status_help[] = "Exit status: 0 on success, 2 on a usage error, 1 ";

// Everything the command line gives.
struct arguments {
    pack::create_options create;
    pack::check_options check;
    std::string file, out, name, product, hw, key, signature;
    int extra_verbosity = 0;
    bool json = false;
};

[[noreturn]] void usage_exit(const std::string &command, const std::string &complaint) {
    pack::complain(complaint);
    fprintf(stderr, "Usage: %s\n", synopses.at(command).c_str());
    if (command == "create")
        fprintf(stderr, "%s\n", image_def_help);
    fprintf(stderr, "Run 'velkan-pack %s--help' for more.\n",
            command.empty() ? "" : (command + " ").c_str());
    exit(2);
}

// The subcommand the parser was working on, or empty.
std::string command_of(CLI::App &app) {
    for (CLI::App *sub : app.get_subcommands())
        return sub->get_name();
    return "";
}

void add_create(CLI::App &app, arguments &a) {
    CLI::App *cmd = app.add_subcommand("create", "Write a container OUT from images");
    cmd->add_option("OUT", a.create.out, "Container to write (through a temporary file beside it)")
        ->required();
    cmd->add_flag("--strict", a.create.strict, "Fail on any warning, leaving OUT as it was");
    cmd->add_option("--release", a.create.release, "Release version of the whole container")
        ->type_name("VERSION");
    CLI::Option *signable = cmd->add_flag(
        "--signable", a.create.signable,
        "Add a digest to every image and an empty signature slot (velkan-pack sign fills it)");
    cmd->add_option("--sign", a.create.sign_key, "Sign with this signify secret key file")
        ->type_name("KEY")
        ->excludes(signable);
    cmd->add_option("IMAGE-DEF", a.create.images, "One image, in container order")->required();
    cmd->footer(std::string(image_def_help) +
                "\nWarned about: a NAME other than kernel and initfs, an empty FILE, white "
                "space in a code, control characters in a text, and an image that the flasher "
                "never picks for a device it names.\n" +
                status_help +
                "when an input cannot be read, OUT cannot be written or is an "
                "input, or a warning came with --strict.");
}

void add_readers(CLI::App &app, arguments &a) {
    CLI::App *list = app.add_subcommand("list", "Show what a container holds");
    list->add_option("FILE", a.file, "Container")->required();
    list->add_flag("-v,--verbose", a.extra_verbosity, "Add the partition entries");
    list->add_flag("--json", a.json, "One JSON document instead (keys in velkan-pack(1))");
    list->footer(status_help + std::string("when FILE is not a container the flasher reads."));

    CLI::App *verify = app.add_subcommand(
        "verify", "Compare each image's checksum and CRC-32, and the file's extent, with the data");
    verify->add_option("FILE", a.file, "Container")->required();
    verify->add_flag("--json", a.json, "One JSON document instead (keys in velkan-pack(1))");
    verify
        ->add_option("--key", a.key,
                     "Check the signature with this signify public key, and every image's "
                     "digest")
        ->type_name("PUBKEY");
    verify->footer(status_help +
                   std::string("when an image is damaged, the file cut or extended, or FILE is "
                               "not a container."));

    CLI::App *extract =
        app.add_subcommand("extract", "Write the bytes the flasher reads for an image");
    extract->add_option("FILE", a.file, "Container")->required();
    extract->add_option("NAME", a.name, "Component name")->required();
    extract->add_option("OUT", a.out, "File to write, - for standard output")->required();
    CLI::Option *p = extract->add_option("--product", a.product, "Select as for this product");
    CLI::Option *h = extract->add_option("--hw", a.hw, "and this HW build");
    p->needs(h);
    h->needs(p);
    extract->footer(status_help + std::string("when there is no such image or a file fails."));
}

void add_signing(CLI::App &app, arguments &a) {
    CLI::App *manifest =
        app.add_subcommand("manifest", "Write the bytes a signature of the container covers");
    manifest->add_option("FILE", a.file, "Container made with create --signable")->required();
    manifest->add_option("OUT", a.out, "File to write, - for standard output")->required();
    manifest->footer(status_help + std::string("when FILE cannot be signed or OUT written."));

    CLI::App *sign = app.add_subcommand("sign", "Put a signature into the container's slot");
    sign->add_option("FILE", a.file, "Container made with create --signable")->required();
    CLI::Option *sig = sign->add_option("--signature", a.signature,
                                        "signify's signature of the manifest (signify-openbsd -S)");
    CLI::Option *key = sign->add_option("--key", a.key, "Sign with this signify secret key file");
    sig->excludes(key)->type_name("SIGFILE");
    key->excludes(sig)->type_name("SECKEY");
    sign->footer(status_help + std::string("when FILE cannot be signed, a key or signature file "
                                           "cannot be read, or FILE cannot be written."));
}

void add_check(CLI::App &app, arguments &a) {
    CLI::App *cmd = app.add_subcommand(
        "check", "Which kernel and initfs a device gets, and whether they fit its partitions");
    cmd->add_option("FILE", a.check.file, "Container")->required();
    CLI::Option *all =
        cmd->add_flag("--all", a.check.all, "Every product and HW build the container names");
    cmd->add_option("--product", a.check.product, "Product code of the device")->excludes(all);
    cmd->add_option("--hw", a.check.hw, "HW build of the device")->excludes(all);
    cmd->add_option("--only", a.check.only, "Check only this component")
        ->check(CLI::IsMember({"kernel", "initfs"}))
        ->type_name("NAME");
    cmd->add_option("--partition", a.check.partitions,
                    "Partition geometry, sizes in bytes or with K, M, G; PAGESIZE is the "
                    "chip's write size")
        ->type_name("NAME=SIZE:ERASESIZE[:BADBLOCKS[:PAGESIZE]]");
    cmd->add_flag("--json", a.check.json, "One JSON document instead (keys in velkan-pack(1))");
    cmd->footer(status_help + std::string("when a component is missing or does not fit."));
}

// True when word is an option of app; *takes_value tells whether the next
// word is its value.
bool known_option(CLI::App &app, const std::string &word, bool *takes_value) {
    bool is_long = word.compare(0, 2, "--") == 0;
    std::string name = is_long ? word.substr(0, word.find('=')) : word.substr(0, 2);
    const CLI::Option *opt = app.get_option_no_throw(name);
    *takes_value = opt && opt->get_type_size() != 0 && name.size() == word.size();
    return opt != nullptr;
}

// CLI11 reports an unknown command, or an unknown option in place of a
// positional argument, as something missing: name them first.
void check_words(CLI::App &app, int argc, char **argv) {
    CLI::App *cmd = &app;
    for (int i = 1; i < argc; i++) {
        std::string word = argv[i];
        bool takes_value = false;
        if (word == "--")
            return;
        if (word.size() > 1 && word[0] == '-') {
            if (!known_option(*cmd, word, &takes_value) && cmd == &app)
                usage_exit("", "unknown option '" + word + "'");
            if (!known_option(*cmd, word, &takes_value))
                usage_exit(cmd->get_name(), "unknown option '" + word +
                                                "' (a FILE that starts with - goes after --)");
            i += takes_value ? 1 : 0;
        } else if (cmd == &app) {
            std::vector<CLI::App *> named =
                app.get_subcommands([&](CLI::App *sub) { return sub->check_name(word); });
            if (named.empty())
                usage_exit("", "unknown command '" + word + "'");
            cmd = named.front();
        }
    }
}

int run(CLI::App &app, const arguments &a) {
    if (app.got_subcommand("create"))
        return pack::create(a.create);
    if (app.got_subcommand("list"))
        return pack::list(a.file, a.extra_verbosity, a.json);
    if (app.got_subcommand("verify"))
        return pack::verify(a.file, a.json, a.key);
    if (app.got_subcommand("manifest"))
        return pack::manifest(a.file, a.out);
    if (app.got_subcommand("sign"))
        return pack::sign(a.file, a.signature, a.key);
    if (app.got_subcommand("check"))
        return pack::check(a.check);
    return pack::extract(a.file, a.name, a.out, a.product, a.hw);
}

// The command's status, or 1 when what it wrote to stdout did not all arrive.
int with_stdout_checked(int status) {
    errno = 0;
    if (fflush(stdout) == 0 && !ferror(stdout))
        return status;
    pack::complain(std::string("standard output: ") + strerror(errno ? errno : EIO));
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app("Builds VELKAN firmware containers and checks what one holds, with the "
                 "reader and component selection of velkan-flasher.",
                 "velkan-pack");
    app.set_version_flag("--version", "velkan-pack " VF_VERSION);
    app.require_subcommand(1);
    app.footer("Exit status: 0 on success, 1 on a failure or a finding, 2 on a usage error.\n"
               "Run 'velkan-pack COMMAND --help' for a command's arguments.");
    arguments a;
    add_create(app, a);
    add_readers(app, a);
    add_check(app, a);
    add_signing(app, a);
    check_words(app, argc, argv);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) {
        return with_stdout_checked(app.exit(e));
    } catch (const CLI::ParseError &e) {
        usage_exit(command_of(app), e.what());
    }
    try {
        return with_stdout_checked(run(app, a));
    } catch (const pack::usage_error &e) {
        usage_exit(command_of(app), e.what());
    } catch (const std::exception &e) {
        pack::complain(e.what());
        return 1;
    }
}
