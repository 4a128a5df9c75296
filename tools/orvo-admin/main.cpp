// orvo-admin on a terminal: PINs from the environment or asked for without echo.
#include <cstdlib>
#include <iostream>
#include <map>

#include "orvo-admin/cli.h"
#include "orvo-admin/terminal.h"

int main(int argc, char** argv) {
    std::map<std::string, std::string> asked;  // each secret is asked for once per run
    orvoadmin::Console console{std::cout, std::cerr};
    console.interactive = orvoadmin::stderrIsTerminal();
    console.secret = [&asked](const std::string& what) -> std::optional<std::string> {
        const char* variable = what == "SO PIN" ? "ORVO_SO_PIN" : "ORVO_USER_PIN";
        if (const char* value = std::getenv(variable)) return std::string(value);
        if (auto it = asked.find(what); it != asked.end()) return it->second;
        if (!orvoadmin::stdinIsTerminal()) return std::nullopt;
        std::optional<std::string> answer = orvoadmin::askTerminal(what);
        if (answer) asked[what] = *answer;
        return answer;
    };
    return orvoadmin::run(std::vector<std::string>(argv + 1, argv + argc), console);
}
