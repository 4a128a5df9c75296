// orvo-admin on a terminal: PINs from the environment or asked for without echo.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>

#include "orvo-admin/cli.h"

namespace {

// Reads a line from the terminal with echo off; none without a terminal.
std::optional<std::string> askTerminal(const std::string& what) {
    FILE* tty = std::fopen("/dev/tty", "r+");
    if (!tty) return std::nullopt;
    int fd = fileno(tty);
    termios saved{};
    bool quiet = tcgetattr(fd, &saved) == 0;
    if (quiet) {
        termios silent = saved;
        silent.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(fd, TCSAFLUSH, &silent);
    }
    std::fprintf(tty, "%s: ", what.c_str());
    std::fflush(tty);
    std::string line;
    for (int c; (c = std::fgetc(tty)) != EOF && c != '\n';) line += char(c);
    if (quiet) tcsetattr(fd, TCSAFLUSH, &saved);
    std::fprintf(tty, "\n");
    std::fclose(tty);
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> asked;  // each secret is asked for once per run
    orvoadmin::Console console{std::cout, std::cerr};
    console.interactive = isatty(STDERR_FILENO);
    console.secret = [&asked](const std::string& what) -> std::optional<std::string> {
        const char* variable = what == "SO PIN" ? "ORVO_SO_PIN" : "ORVO_USER_PIN";
        if (const char* value = std::getenv(variable)) return std::string(value);
        if (auto it = asked.find(what); it != asked.end()) return it->second;
        if (!isatty(STDIN_FILENO)) return std::nullopt;
        std::optional<std::string> answer = askTerminal(what);
        if (answer) asked[what] = *answer;
        return answer;
    };
    return orvoadmin::run(std::vector<std::string>(argv + 1, argv + argc), console);
}
