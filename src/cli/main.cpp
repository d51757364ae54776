#include <exception>
#include <iostream>

#include "cli/Commands.h"
#include "platform/Process.h"

int main(int argc, char** argv) {
    try {
        al::platform::prepareConsole();
        return al::cli::runCommandLine(al::platform::utf8Arguments(argc, argv), std::cout,
                                       std::cerr);
    } catch (const std::exception& error) {
        std::cerr << "error: " << error.what() << '\n';
        return 1;
    }
}
