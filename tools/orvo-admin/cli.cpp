#include "orvo-admin/cli.h"

#include "orvo-admin/commands.h"

namespace orvoadmin {
namespace {

struct Command {
    const char* name;  // one or two words
    const char* arguments;
    size_t minWords, maxWords;
    int (*run)(Invocation&);
    const char* summary;
};

const Command kCommands[] = {
    {"backup", "FILE", 1, 1, backupCommand, "write the token's storage image to FILE (SO PIN)"},
    {"restore", "FILE", 1, 1, restoreCommand,
     "send the image in FILE to the token, then check that the token reproduces it (SO PIN)"},
    {"factory-reset", "", 0, 0, factoryResetCommand,
     "erase every object, PIN and setting (needs --yes-erase-everything)"},
    {"config show", "", 0, 0, configShowCommand, "show the token's configuration"},
    {"config set", "SETTING VALUE...", 2, 3, configSetCommand,
     "max-login-failures COUNT | session-timeout MINUTES | pin-lengths MIN MAX | bit-options VALUE (SO PIN)"},
    {"log", "", 0, 0, logCommand, "print the device log"},
    {"bitcoin has", "", 0, 0, bitcoinHasCommand, "tell whether the token holds a Bitcoin key (user PIN)"},
    {"bitcoin import", "SEEDFILE", 1, 1, bitcoinImportCommand,
     "make the Bitcoin key from the hexadecimal seed in SEEDFILE (user PIN)"},
    {"bitcoin pub", "PATH", 1, 1, bitcoinPubCommand,
     "print the compressed public key at PATH, e.g. m/44'/0'/0'/0/7 (user PIN)"},
    {"bitcoin sign", "PATH HASH", 2, 2, bitcoinSignCommand,
     "sign the 32-byte hexadecimal HASH with the key at PATH (user PIN)"},
    {"devices", "", 0, 0, devicesCommand, "list the USB devices (raw port) and the network device"},
};

std::string usage() {
    std::string text =
        "usage: orvo-admin [--slot N] [--json] COMMAND [ARGUMENTS]\n"
        "\n"
        "Maintenance of an Orvo token through liborvo-pkcs11, configured by the same\n"
        "orvoconfig.json (ORVO_CONFIG_PATH names its directory).\n"
        "\n"
        "commands:\n";
    for (const Command& c : kCommands) {
        std::string head = std::string("  ") + c.name + (*c.arguments ? std::string(" ") + c.arguments : "");
        text += head + "\n      " + c.summary + "\n";
    }
    text +=
        "\n"
        "options:\n"
        "  --slot N                 the slot (default 0)\n"
        "  --json                   print the result as JSON\n"
        "  --no-verify              restore: do not back up again to compare\n"
        "  --yes-erase-everything   factory-reset: confirm\n"
        "  --help                   this text\n"
        "\n"
        "PINs come from ORVO_SO_PIN and ORVO_USER_PIN, or are asked for on the terminal.\n"
        "exit status: 0 done, 1 failed, 2 wrong command line\n";
    return text;
}

// Splits options from words; throws a usage Failure for an unknown option.
std::vector<std::string> readOptions(const std::vector<std::string>& args, Invocation& inv, bool& help) {
    std::vector<std::string> words;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            help = true;
        } else if (a == "--json") {
            inv.json = true;
        } else if (a == "--no-verify") {
            inv.verify = false;
        } else if (a == "--yes-erase-everything") {
            inv.eraseConfirmed = true;
        } else if (a == "--slot" || a.rfind("--slot=", 0) == 0) {
            std::string value = a == "--slot" ? (i + 1 < args.size() ? args[++i] : "") : a.substr(7);
            inv.slot = parseNumber(value, 0x7FFFFFFF, "--slot");
        } else if (a.size() > 1 && a[0] == '-') {
            throw Failure("unknown option " + a + " (see --help)", kUsage);
        } else {
            words.push_back(a);
        }
    }
    return words;
}

const Command* findCommand(std::vector<std::string>& words) {
    for (const Command& c : kCommands) {
        std::string name = c.name;
        size_t space = name.find(' ');
        bool two = space != std::string::npos;
        if (words.size() >= (two ? 2u : 1u) && words[0] == name.substr(0, space) &&
            (!two || words[1] == name.substr(space + 1))) {
            words.erase(words.begin(), words.begin() + (two ? 2 : 1));
            return &c;
        }
    }
    return nullptr;
}

}  // namespace

int run(const std::vector<std::string>& args, Console& console) {
    Invocation inv{console};
    try {
        bool help = false;
        std::vector<std::string> words = readOptions(args, inv, help);
        if (help) {
            console.out << usage();
            return kSuccess;
        }
        if (words.empty()) throw Failure("no command given (see --help)", kUsage);
        std::string given = words[0];
        const Command* command = findCommand(words);
        if (!command) throw Failure("unknown command " + given + " (see --help)", kUsage);
        if (words.size() < command->minWords || words.size() > command->maxWords)
            throw Failure(std::string("usage: orvo-admin ") + command->name + " " + command->arguments, kUsage);
        inv.words = std::move(words);
        return command->run(inv);
    } catch (const Failure& f) {
        console.err << "orvo-admin: " << f.what() << "\n";
        return f.exitCode();
    } catch (const std::exception& e) {
        console.err << "orvo-admin: " << e.what() << "\n";
        return kFailed;
    }
}

}  // namespace orvoadmin
