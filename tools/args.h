// Reading a command's arguments into one record.
#pragma once
#include <string>

#include "report.h"

struct command_line {
    std::string positional[2];
    int npositional = 0;
    std::string options;  // JSON document for enhance and batch
    output_mode mode = output_mode::table;
    bool help = false;
};

// Parses what follows the command name. Returns an empty text or the usage
// problem found.
std::string parse_args(int argc, char** argv, bool takes_options, int want_positional,
                       command_line* cl);
