#include "help_text.h"

#include <cstdio>
#include <iterator>
#include <sstream>

#include "base/lists.h"

std::string joined(const std::vector<const char*>& names, const char* sep,
                   const char* last_sep) {
    std::string text;
    for (size_t i = 0; i < names.size(); i++) {
        if (i) text += last_sep && i + 1 == names.size() ? last_sep : sep;
        text += names[i];
    }
    return text;
}

std::vector<const char*> eq_choices() {
    std::vector<const char*> names(std::begin(EQ_PRESET_NAMES), std::end(EQ_PRESET_NAMES));
    names.push_back(EQ_OFF);
    return names;
}

namespace {

std::vector<const char*> output_exts() {
    std::vector<const char*> exts;
    for (const output_container& c : OUTPUT_CONTAINERS) exts.push_back(c.ext);
    return exts;
}

std::vector<const char*> converted_exts() {
    return std::vector<const char*>(std::begin(BATCH_CONVERTED), std::end(BATCH_CONVERTED));
}

// text as lines of at most width characters, broken at spaces.
std::string wrapped(const std::string& text, size_t width) {
    std::string out, line, word;
    std::istringstream words(text);
    while (words >> word) {
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            out += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return line.empty() ? out : out + line + "\n";
}

const char* const OUTPUT_HELP =
    "output:\n"
    "  --json                   print the library's JSON answer exactly as returned\n"
    "  --pretty                 print the JSON answer indented\n";

const std::string ENHANCE_OPTIONS_HELP =
    "options:\n"
    "  --denoise N              RNNoise strength 0..10; 8..10 add spectral denoise (default 0, off)\n"
    "  --no-loudnorm            skip loudness normalisation (default: on)\n"
    "  --target LUFS            integrated loudness target, -70..0; -5 is the loudest, higher\n"
    "                           targets level to -5 (default -14)\n"
    "  --repair-clicks          remove clicks and pops (default off)\n"
    "  --eq PRESET              " + joined(eq_choices(), ", ", " or ") + " (default " + EQ_OFF + ")\n"
    "  --normalize-peak         lift the true peak to -0.1 dBTP before levelling (default off)\n"
    "  --jobs N                 batch: files enhanced side by side (default 0, one per\n"
    "                           processor; 1 = one after another)\n"
    "  --options JSON           a whole options document instead of the flags above\n";

}  // namespace

const std::string MAIN_HELP =
    "audioenhancer - clean up and level recordings of speech and music\n"
    "\n"
    "usage: audioenhancer COMMAND [ARGS] [options]\n"
    "\n"
    "commands:\n"
    "  probe FILE               describe and measure one file\n"
    "  enhance IN OUT           enhance one file; OUT's extension picks the format\n"
    "                           (" + joined(output_exts(), ", ") + ")\n"
    "  batch INDIR OUTDIR       enhance every audio file of a directory\n"
    "  version                  print the library version\n"
    "\n"
    "Run 'audioenhancer COMMAND --help' for a command's options.\n"
    "Exit status: 0 ok, 1 the library failed, 2 usage error, 3 some batch files failed.\n";

const char* const PROBE_HELP =
    "usage: audioenhancer probe FILE [--json | --pretty]\n"
    "\n"
    "Decodes FILE and reports duration, sample rate, channels, codec, container,\n"
    "integrated loudness (LUFS), true peak (dBTP) and noise floor (dB).\n"
    "\n"
    "example:\n"
    "  audioenhancer probe interview.mp3\n";

const char* const ENHANCE_HELP =
    "usage: audioenhancer enhance IN OUT [options] [--json | --pretty]\n"
    "\n"
    "Decodes IN, optionally denoises, repairs clicks and equalises, levels it to\n"
    "the target loudness and writes OUT in the format of its extension.\n"
    "\n"
    "examples:\n"
    "  audioenhancer enhance interview.mp3 interview.m4a --denoise 5 --eq podcast\n"
    "  audioenhancer enhance live.flac live.opus --target -16 --repair-clicks\n";

const std::string BATCH_HELP =
    "usage: audioenhancer batch INDIR OUTDIR [options] [--json | --pretty]\n"
    "\n" +
    wrapped("Enhances every audio file of INDIR (not recursive) into OUTDIR, which is created. " +
                joined(output_exts(), " ") + " keep their format; " +
                joined(converted_exts(), " ") + " become ." +
                BATCH_CONVERTED_TO + ". Exit status 3 when some files failed.",
            76) +
    "\n"
    "example:\n"
    "  audioenhancer batch raw/ done/ --options '{\"denoise\":3,\"eq\":\"voice\"}'\n";

int usage_error(const std::string& why, const std::string& help) {
    std::fprintf(stderr, "audioenhancer: %s\n", why.c_str());
    std::fprintf(stderr, "%s", help.c_str());
    return 2;
}

void print_help(const std::string& text, bool with_options) {
    std::printf("%s\n%s%s", text.c_str(), with_options ? ENHANCE_OPTIONS_HELP.c_str() : "",
                OUTPUT_HELP);
}
