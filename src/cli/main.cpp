// SPDX-License-Identifier: MIT
#include "cli/startup.h"

int main(int argc, char** argv) {
    return platterfell_main(argc, argv);
}
