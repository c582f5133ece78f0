// The command-line host's help texts, and how usage problems and help are
// printed.
#pragma once
#include <string>
#include <vector>

extern const std::string MAIN_HELP;
extern const char* const PROBE_HELP;
extern const char* const ENHANCE_HELP;
extern const std::string BATCH_HELP;

// The names with sep between them, and last_sep (when given) before the last.
std::string joined(const std::vector<const char*>& names, const char* sep,
                   const char* last_sep = nullptr);

// What --eq takes: the presets and the name for none.
std::vector<const char*> eq_choices();

// Prints why and the command's help to stderr; returns the usage exit status.
int usage_error(const std::string& why, const std::string& help);

// Prints a command's help, with the enhance options when it takes them, and
// the output flags.
void print_help(const std::string& text, bool with_options);
