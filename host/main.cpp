#include <iostream>
#include <string>
#include <vector>

#include "HostApp.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    host::Options options;
    std::string error;
    if (!host::parseOptions(args, options, error)) {
        std::cerr << "hvsrc-host: " << error << "\n\n" << host::usageText();
        return host::EXIT_USAGE;
    }
    return host::runHost(options, std::cout, std::cerr);
}
