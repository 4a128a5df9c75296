#include "orvo-admin/terminal.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>

namespace orvoadmin {

bool stdinIsTerminal() { return isatty(STDIN_FILENO); }
bool stderrIsTerminal() { return isatty(STDERR_FILENO); }

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

}  // namespace orvoadmin
