#include "api/result.h"

#include <cstdlib>
#include <cstring>

#include "api/error.h"

// The result text. It starts as a static block and grows (and then stays
// on the heap) when a document is longer, so a long answer is never cut.
static char g_json_static[131072];
static char* g_json = g_json_static;
static size_t g_json_cap = sizeof g_json_static;

int finish_json(yyjson_mut_doc* doc, const char** out) {
    size_t len = 0;
    char* text = doc ? yyjson_mut_write(doc, YYJSON_WRITE_NOFLAG, &len) : nullptr;
    if (!text) {
        set_err("json serialize failed");
        return -1;
    }
    if (len + 1 > g_json_cap) {
        char* bigger = static_cast<char*>(std::malloc(len + 1));
        if (!bigger) {
            std::free(text);
            set_err("json serialize failed");
            return -1;
        }
        if (g_json != g_json_static) std::free(g_json);
        g_json = bigger;
        g_json_cap = len + 1;
    }
    std::memcpy(g_json, text, len + 1);
    std::free(text);
    *out = g_json;
    return 0;
}
