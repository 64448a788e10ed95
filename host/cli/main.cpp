#include <iostream>
#include <string>
#include <vector>

#include "cli/HostApp.h"

int main(int argc, char** argv) {
    return host::hostMain(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
