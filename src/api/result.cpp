#include "api/result.h"

#include <cstdlib>
#include <cstring>

#include "base/error.h"

// The result text. It starts as a static block and grows (and then stays
// on the heap) when a document is longer, so a long answer is never cut.
static char g_json_static[131072];
static char* g_json = g_json_static;
static size_t g_json_cap = sizeof g_json_static;

namespace {

struct answer_ctx {
    bool failed;
};

void* answer_malloc(void* ctx, size_t size) {
    void* p = std::malloc(size);
    if (!p) static_cast<answer_ctx*>(ctx)->failed = true;
    return p;
}

void* answer_realloc(void* ctx, void* ptr, size_t, size_t size) {
    void* p = std::realloc(ptr, size);
    if (!p) static_cast<answer_ctx*>(ctx)->failed = true;
    return p;
}

void answer_free(void*, void* ptr) { std::free(ptr); }

bool answer_lost_member(const yyjson_mut_doc* doc) {
    return doc->alc.malloc == answer_malloc && static_cast<answer_ctx*>(doc->alc.ctx)->failed;
}

}  // namespace

answer_ptr answer_new() {
    auto* ctx = static_cast<answer_ctx*>(std::malloc(sizeof(answer_ctx)));
    if (!ctx) return answer_ptr();
    ctx->failed = false;
    const yyjson_alc alc = {answer_malloc, answer_realloc, answer_free, ctx};
    yyjson_mut_doc* doc = yyjson_mut_doc_new(&alc);
    if (!doc) std::free(ctx);
    return answer_ptr(doc);
}

void answer_deleter::operator()(yyjson_mut_doc* doc) const {
    void* ctx = doc->alc.ctx;
    yyjson_mut_doc_free(doc);
    std::free(ctx);
}

int finish_json(yyjson_mut_doc* doc, const char** out) {
    if (doc && answer_lost_member(doc)) {
        set_err("json serialize failed");
        return -1;
    }
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
